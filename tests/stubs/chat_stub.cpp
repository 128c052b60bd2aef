#include "stubs/chat_stub.h"

#include <stdexcept>

namespace veltaai::stubs {
namespace {

std::string message_text(const Value& message) {
    if (!message.is_object() || !message.contains("content")) return {};
    const Value& content = message["content"];
    if (content.is_string()) return content.get<std::string>();
    return content.is_null() ? std::string() : content.dump();
}

// The name of the function the request forces, or of its JSON schema response format.
std::string forced_name(const Value& body) {
    if (!body.is_object()) return {};
    if (body.contains("tool_choice") && body["tool_choice"].is_object()) {
        const Value& choice = body["tool_choice"];
        if (choice.contains("function") && choice["function"].is_object() &&
            choice["function"].contains("name")) {
            return choice["function"]["name"].get<std::string>();
        }
    }
    if (body.contains("response_format") && body["response_format"].is_object()) {
        const Value& format = body["response_format"];
        if (format.contains("json_schema") && format["json_schema"].contains("name")) {
            return format["json_schema"]["name"].get<std::string>();
        }
    }
    return {};
}

bool wants_tool_call(const Value& body) {
    return body.is_object() && body.contains("tool_choice") && body["tool_choice"].is_object();
}

bool fits(const Value& match, const RecordedRequest& request) {
    if (!match.is_object()) return true;
    const Value& body = request.body;
    const Value messages = body.is_object() && body.contains("messages") ? body["messages"] : Value::array();
    if (match.contains("tool") && forced_name(body) != match["tool"].get<std::string>()) return false;
    if (match.contains("contains")) {
        const std::string last = messages.empty() ? std::string() : message_text(messages.back());
        if (last.find(match["contains"].get<std::string>()) == std::string::npos) return false;
    }
    if (match.contains("any_contains")) {
        const std::string wanted = match["any_contains"].get<std::string>();
        bool found = false;
        for (const Value& message : messages)
            found = found || message_text(message).find(wanted) != std::string::npos;
        if (!found) return false;
    }
    if (match.contains("path_contains") &&
        request.path.find(match["path_contains"].get<std::string>()) == std::string::npos) {
        return false;
    }
    return true;
}

}  // namespace

ChatStub::ChatStub(Value script, int port, std::string host) : server_(port, std::move(host)) {
    load(script);
    const auto completions = [this](const RecordedRequest& request) { return answer(request); };
    server_.route("POST", R"((/v1)?/chat/completions)", completions);
    server_.route("POST", R"(/openai/deployments/[^/]+/chat/completions)", completions);
    server_.route(
        "GET", "/_stub/requests",
        [this](const RecordedRequest&) { return StubResponse::json(200, to_json(server_.requests())); },
        false);
    server_.route(
        "POST", "/_stub/replies",
        [this](const RecordedRequest& request) {
            if (request.body.is_array()) {
                for (const Value& reply : request.body) add_reply(reply);
            } else {
                add_reply(request.body);
            }
            return StubResponse::json(200, {{"pending", pending_replies()}});
        },
        false);
    server_.start();
}

void ChatStub::load(const Value& script) {
    std::lock_guard lock(mutex_);
    entries_.clear();
    const Value* replies = &script;
    if (script.is_object()) {
        if (script.contains("model")) default_model_ = script["model"].get<std::string>();
        if (script.contains("usage")) default_usage_ = script["usage"];
        openai_strict_ = script.value("openai_strict", false);
        api_key_ = script.value("api_key", std::string());
        replies = script.contains("replies") ? &script["replies"] : nullptr;
    }
    if (!replies) return;
    if (!replies->is_array()) throw std::invalid_argument("a chat stub script needs a list of replies");
    for (const Value& reply : *replies) {
        const long times = reply.value("repeat", false) ? -1 : reply.value("times", 1L);
        entries_.push_back({reply, times});
    }
}

void ChatStub::add_reply(Value reply) {
    if (!reply.is_object()) throw std::invalid_argument("a scripted reply must be a record");
    std::lock_guard lock(mutex_);
    const long times = reply.value("repeat", false) ? -1 : reply.value("times", 1L);
    entries_.push_back({std::move(reply), times});
}

void ChatStub::set_script(Value script) {
    load(script);
}

std::size_t ChatStub::pending_replies() const {
    std::lock_guard lock(mutex_);
    std::size_t count = 0;
    for (const Entry& entry : entries_) count += entry.remaining != 0;
    return count;
}

StubResponse ChatStub::answer(const RecordedRequest& request) {
    Value reply;
    long number = 0;
    std::string model;
    Value usage;
    {
        std::lock_guard lock(mutex_);
        const bool openai_path = request.path.find("/openai/deployments/") == std::string::npos;
        if (openai_strict_ && openai_path) {
            if (!api_key_.empty() && request.header("authorization") != "Bearer " + api_key_) {
                return StubResponse::json(401, {{"error",
                                                 {{"message", "Incorrect API key provided."},
                                                  {"type", "invalid_request_error"},
                                                  {"code", "invalid_api_key"}}}});
            }
            const bool named = request.body.is_object() && request.body.contains("model") &&
                               request.body["model"].is_string() &&
                               !request.body["model"].get<std::string>().empty();
            if (!named) {
                return StubResponse::json(400, {{"error",
                                                 {{"message", "you must provide a model parameter"},
                                                  {"type", "invalid_request_error"}}}});
            }
        }
        for (Entry& entry : entries_) {
            if (entry.remaining == 0 || !fits(entry.reply.value("match", Value()), request)) continue;
            if (entry.remaining > 0) --entry.remaining;
            reply = entry.reply;
            break;
        }
        number = ++served_;
        model = openai_strict_ && request.body.is_object() && request.body.contains("model")
                    ? request.body["model"].get<std::string>()
                    : default_model_;
        usage = default_usage_;
    }
    if (reply.is_null()) {
        const Value messages =
            request.body.is_object() ? request.body.value("messages", Value::array()) : Value::array();
        const std::string last = messages.empty() ? std::string() : message_text(messages.back());
        return StubResponse::json(
            400, {{"error",
                   {{"message", "stub: no scripted reply matches the request (last message: " +
                                    last.substr(0, 200) + ")"},
                    {"type", "invalid_request_error"}}}});
    }

    if (reply.contains("stall_ms") &&
        !server_.pause(std::chrono::milliseconds(reply["stall_ms"].get<long>()))) {
        return StubResponse::json(503, {{"error", {{"message", "stub stopping"}}}});
    }
    if (reply.contains("status") && reply["status"].get<int>() >= 300) {
        StubResponse out = StubResponse::json(reply["status"].get<int>(),
                                              {{"error",
                                                {{"message", reply.value("error", std::string("stub error"))},
                                                 {"type", "stub_error"},
                                                 {"code", nullptr}}}});
        if (reply.contains("retry_after")) {
            const Value& after = reply["retry_after"];
            out.headers.emplace_back("Retry-After",
                                     after.is_string() ? after.get<std::string>() : after.dump());
        }
        return out;
    }
    if (reply.contains("body")) {
        return {reply.value("status", 200), reply["body"].get<std::string>(), "application/json", {}};
    }

    if (reply.contains("model")) model = reply["model"].get<std::string>();
    if (reply.contains("usage")) usage = reply["usage"];
    const long prompt = usage.value("prompt_tokens", 0L);
    const long completion = usage.value("completion_tokens", 0L);

    Value message = {{"role", "assistant"}, {"content", nullptr}};
    std::string finish = "stop";
    Value tool_call;
    if (reply.contains("tool_call")) {
        tool_call = reply["tool_call"];
    } else if (reply.contains("structured") && wants_tool_call(request.body)) {
        tool_call = {{"name", forced_name(request.body)}, {"arguments", reply["structured"]}};
    }
    if (!tool_call.is_null()) {
        const Value& arguments = tool_call["arguments"];
        message["tool_calls"] = Value::array(
            {{{"id", "call_stub_" + std::to_string(number)},
              {"type", "function"},
              {"function",
               {{"name", tool_call["name"]},
                {"arguments", arguments.is_string() ? arguments.get<std::string>() : arguments.dump()}}}}});
        finish = "tool_calls";
    } else if (reply.contains("structured")) {
        message["content"] = reply["structured"].dump();
    } else {
        message["content"] = reply.value("content", std::string());
    }

    const Value body = {
        {"id", "chatcmpl-stub-" + std::to_string(number)},
        {"object", "chat.completion"},
        {"created", 1700000000},
        {"model", model},
        {"choices", Value::array({{{"index", 0}, {"message", message}, {"finish_reason", finish}}})},
        {"usage",
         {{"prompt_tokens", prompt},
          {"completion_tokens", completion},
          {"total_tokens", prompt + completion}}}};
    return StubResponse::json(200, body);
}

}  // namespace veltaai::stubs
