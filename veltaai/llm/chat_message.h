#pragma once
// One message of a chat: its role ("system", "user", "assistant", "tool") and its text, plus
// whatever else the chat completions API carries with it (tool calls, tool call id).

#include "veltaai/core/value.h"

#include <string>
#include <vector>

namespace veltaai::llm {

struct ChatMessage {
    std::string role;
    std::string content;
    // Further fields sent with the message as they stand ("tool_calls", "tool_call_id", "name").
    Value extra = Value::object();

    static ChatMessage system(std::string text) { return {"system", std::move(text), Value::object()}; }
    static ChatMessage user(std::string text) { return {"user", std::move(text), Value::object()}; }
    static ChatMessage assistant(std::string text) { return {"assistant", std::move(text), Value::object()}; }

    // The message as the chat completions API takes it.
    Value to_json() const {
        Value out = {{"role", role}, {"content", content}};
        for (const auto& [key, value] : extra.items()) out[key] = value;
        return out;
    }

    bool operator==(const ChatMessage&) const = default;
};

using ChatMessages = std::vector<ChatMessage>;

}  // namespace veltaai::llm
