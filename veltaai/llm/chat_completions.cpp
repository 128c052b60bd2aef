#include "veltaai/llm/chat_completions.h"

#include "veltaai/core/errors.h"

namespace veltaai::llm {
namespace {

std::string text_or_empty(const Value& record, const char* key) {
    if (!record.is_object()) return {};
    const auto it = record.find(key);
    return it != record.end() && it->is_string() ? it->get<std::string>() : std::string();
}

long count_or_zero(const Value& record, const char* key) {
    if (!record.is_object()) return 0;
    const auto it = record.find(key);
    return it != record.end() && it->is_number() ? it->get<long>() : 0;
}

}  // namespace

ChatCompletion parse_chat_completion(const Value& body) {
    if (!body.is_object())
        throw ModelServiceError("chat completions reply is a " + kind_name(body) + ", not a record");
    const auto choices = body.find("choices");
    if (choices == body.end() || !choices->is_array() || choices->empty()) {
        throw ModelServiceError("chat completions reply has no choices");
    }
    const Value& choice = choices->front();
    const auto message = choice.is_object() ? choice.find("message") : choice.end();
    if (!choice.is_object() || message == choice.end() || !message->is_object()) {
        throw ModelServiceError("chat completions reply has no message in its first choice");
    }

    ChatCompletion out;
    out.content = text_or_empty(*message, "content");
    out.finish_reason = text_or_empty(choice, "finish_reason");
    out.model = text_or_empty(body, "model");
    if (const auto calls = message->find("tool_calls"); calls != message->end() && calls->is_array()) {
        for (const Value& call : *calls) {
            ToolCall parsed;
            parsed.id = text_or_empty(call, "id");
            const Value function =
                call.is_object() && call.contains("function") ? call["function"] : Value::object();
            parsed.name = text_or_empty(function, "name");
            if (function.is_object() && function.contains("arguments")) {
                const Value& arguments = function["arguments"];
                parsed.arguments = arguments.is_string() ? arguments.get<std::string>() : arguments.dump();
            }
            out.tool_calls.push_back(std::move(parsed));
        }
    }
    if (const auto usage = body.find("usage"); usage != body.end()) {
        out.usage.prompt_tokens = count_or_zero(*usage, "prompt_tokens");
        out.usage.completion_tokens = count_or_zero(*usage, "completion_tokens");
        out.usage.total_tokens = count_or_zero(*usage, "total_tokens");
        if (out.usage.total_tokens == 0)
            out.usage.total_tokens = out.usage.prompt_tokens + out.usage.completion_tokens;
    }
    out.raw = body;
    return out;
}

}  // namespace veltaai::llm
