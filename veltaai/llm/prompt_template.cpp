#include "veltaai/llm/prompt_template.h"

#include "veltaai/core/errors.h"
#include "veltaai/python/kernel.h"

namespace veltaai::llm {
namespace {

std::string chat_role(const std::string& role) {
    if (role == "human") return "user";
    if (role == "ai") return "assistant";
    return role;
}

}  // namespace

std::string text_form(const Value& value) {
    return python_str(value);
}

std::string format_single_brace(const std::string& text, const Value& variables) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '}') {
            if (i + 1 < text.size() && text[i + 1] == '}') {
                out += '}';
                ++i;
                continue;
            }
            throw ValueError("Single '}' encountered in format string");
        }
        if (c != '{') {
            out += c;
            continue;
        }
        if (i + 1 < text.size() && text[i + 1] == '{') {
            out += '{';
            ++i;
            continue;
        }
        const std::size_t close = text.find_first_of("{}", i + 1);
        if (close == std::string::npos || text[close] != '}') {
            throw ValueError("Single '{' encountered in format string");
        }
        const std::string name = text.substr(i + 1, close - i - 1);
        if (!variables.is_object() || !variables.contains(name)) throw KeyError(name);
        out += text_form(variables[name]);
        i = close;
    }
    return out;
}

PromptTemplate::PromptTemplate(std::string text, TemplateStyle style)
    : text_(std::move(text)), style_(style) {}

std::string PromptTemplate::format(const Value& variables) const {
    if (!variables.is_object())
        throw TypeError("template variables must be a record, got a " + kind_name(variables));
    if (style_ == TemplateStyle::jinja2) return python::render_jinja2(text_, variables);
    return format_single_brace(text_, variables);
}

ChatPromptTemplate::ChatPromptTemplate(std::vector<MessageTemplate> messages)
    : messages_(std::move(messages)) {}

ChatPromptTemplate ChatPromptTemplate::from_messages(
    const std::vector<std::pair<std::string, std::string>>& messages, TemplateStyle style) {
    std::vector<MessageTemplate> templates;
    templates.reserve(messages.size());
    for (const auto& [role, text] : messages) templates.push_back({role, PromptTemplate(text, style)});
    return ChatPromptTemplate(std::move(templates));
}

ChatMessages ChatPromptTemplate::format_messages(const Value& variables) const {
    ChatMessages out;
    out.reserve(messages_.size());
    for (const auto& message : messages_) {
        out.push_back({chat_role(message.role), message.prompt.format(variables), Value::object()});
    }
    return out;
}

}  // namespace veltaai::llm
