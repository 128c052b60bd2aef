#pragma once
// Prompt templates: a text with placeholders in one of two styles, and chat prompts made of
// (role, template) messages. Single-brace templates replace {name} with the variable's text;
// Jinja2 templates are rendered by the Jinja2 package itself, in the process's template kernel.

#include "veltaai/core/value.h"
#include "veltaai/llm/chat_message.h"

#include <string>
#include <vector>

namespace veltaai::llm {

enum class TemplateStyle { single_brace, jinja2 };

// The text a value stands for in a prompt, as Python's str() writes it: texts as they are,
// None, True/False, numbers, lists and records in their literal form (['a', 1]).
std::string text_form(const Value& value);

// Replaces every {name} with the text of variables[name]; {{ and }} stand for single braces.
// A name without a variable is a KeyError (the name); a lone brace is a ValueError. Variables
// the text does not name are ignored.
std::string format_single_brace(const std::string& text, const Value& variables);

// One template text in one style.
class PromptTemplate {
public:
    explicit PromptTemplate(std::string text, TemplateStyle style = TemplateStyle::single_brace);

    // The text with variables (a record) filled in. Jinja2 gets the values as they are (lists
    // of pairs arrive as lists of two-element lists, which `for a, b in pairs` unpacks);
    // variables it does not know render as nothing, as Jinja2's defaults have it.
    std::string format(const Value& variables) const;

    const std::string& text() const noexcept { return text_; }
    TemplateStyle style() const noexcept { return style_; }

private:
    std::string text_;
    TemplateStyle style_;
};

// One message of a chat prompt. Roles: "system", "human" or "user", "ai" or "assistant".
struct MessageTemplate {
    std::string role;
    PromptTemplate prompt;
};

class ChatPromptTemplate {
public:
    explicit ChatPromptTemplate(std::vector<MessageTemplate> messages);
    // Shorthand for messages of one style: {{"system", text}, {"human", text}}.
    static ChatPromptTemplate from_messages(const std::vector<std::pair<std::string, std::string>>& messages,
                                            TemplateStyle style = TemplateStyle::single_brace);

    // Every message formatted with the same variables, roles as the chat completions API names
    // them ("human" is written "user", "ai" "assistant").
    ChatMessages format_messages(const Value& variables) const;

    const std::vector<MessageTemplate>& messages() const noexcept { return messages_; }

private:
    std::vector<MessageTemplate> messages_;
};

}  // namespace veltaai::llm
