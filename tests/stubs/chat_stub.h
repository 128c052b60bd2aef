#pragma once
// A scripted chat completions server on loopback. It answers the OpenAI shapes
// (/v1/chat/completions, /chat/completions) and the Azure shape
// (/openai/deployments/<name>/chat/completions?api-version=...) from a script of replies.
//
// Script: a list of replies, or {"model": ..., "usage": {...}, "replies": [...]} giving the
// defaults of every reply. "openai_strict": true makes the OpenAI paths behave as the public
// API does: a request without "model" is refused (400), "api_key" (when given) must come as
// "Authorization: Bearer <key>" (else 401), and a reply names the requested model. For each request the first
// reply that is still available and whose "match" fits is used, then spent (unless "repeat" is true or
// "times" allows more). A reply:
//   "match":      {"tool": name of the forced function or JSON schema,
//                  "contains": text in the last message, "any_contains": text in any message,
//                  "path_contains": text in the path}        (all optional)
//   "content":    the reply text
//   "tool_call":  {"name": ..., "arguments": record or raw text}
//   "structured": a record, answered in the form the request asked for: a call of the forced
//                 function, or the JSON text as content
//   "status", "error", "retry_after": an error answer {"error": {"message": error}} with a
//                 Retry-After header
//   "body":       a raw body sent as it stands (malformed replies)
//   "stall_ms":   wait this long before answering (cut short when the stub stops)
//   "usage":      {"prompt_tokens": n, "completion_tokens": n}; "model": the model reported
// A request no reply fits gets status 400 with a message saying so.
// GET /_stub/requests lists the recorded requests; POST /_stub/replies appends replies.

#include "stubs/stub_server.h"

#include <mutex>

namespace veltaai::stubs {

class ChatStub {
public:
    explicit ChatStub(Value script = Value::array(), int port = 0, std::string host = "127.0.0.1");

    void add_reply(Value reply);
    void set_script(Value script);
    // Replies not yet spent (repeating ones included).
    std::size_t pending_replies() const;

    int port() const { return server_.port(); }
    std::string url() const { return server_.url(); }
    std::string openai_base_url() const { return server_.url() + "/v1"; }
    std::string azure_endpoint() const { return server_.url(); }

    std::vector<RecordedRequest> requests() const { return server_.requests(); }
    std::size_t request_count() const { return server_.request_count(); }
    void clear_requests() { server_.clear_requests(); }
    void stop() { server_.stop(); }

private:
    struct Entry {
        Value reply;
        long remaining;  // < 0: forever
    };
    StubResponse answer(const RecordedRequest& request);
    void load(const Value& script);

    mutable std::mutex mutex_;
    std::vector<Entry> entries_;
    std::string default_model_ = "gpt-35-turbo";
    Value default_usage_ = {{"prompt_tokens", 10}, {"completion_tokens", 5}};
    bool openai_strict_ = false;
    std::string api_key_;
    long served_ = 0;
    StubServer server_;
};

}  // namespace veltaai::stubs
