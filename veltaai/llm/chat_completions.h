#pragma once
// The chat completions exchange as the rest of veltaai sees it: one request (messages, tools,
// the tool to force, a response format) and one reply (text, tool calls, model name, usage).
// The wire form is the published chat completions JSON; these types are its parsed shape.

#include "veltaai/core/value.h"
#include "veltaai/llm/chat_message.h"

#include <optional>
#include <string>
#include <vector>

namespace veltaai::llm {

struct ChatRequest {
    ChatMessages messages;
    Value tools = nullptr;            // list of tools in the published format, or null
    Value tool_choice = nullptr;      // "auto", "none", "required" or {"type":"function",...}
    Value response_format = nullptr;  // {"type":"json_schema",...} or null
    // Per-request settings; unset ones fall back to the model's own.
    std::optional<double> temperature;
    std::optional<long> max_tokens;
};

struct TokenUsage {
    long prompt_tokens = 0;
    long completion_tokens = 0;
    long total_tokens = 0;
};

struct ToolCall {
    std::string id;
    std::string name;       // function.name
    std::string arguments;  // function.arguments, the JSON text as the model wrote it
};

struct ChatCompletion {
    std::string content;  // the first choice's message text ("" when it only called tools)
    std::vector<ToolCall> tool_calls;
    std::string finish_reason;
    std::string model;  // the model name the service reports, the key of the price table
    TokenUsage usage;
    Value raw;  // the whole reply body
};

// Reads a reply body of the chat completions API. A body without choices or message is a
// ModelServiceError saying what was missing.
ChatCompletion parse_chat_completion(const Value& body);

}  // namespace veltaai::llm
