#pragma once
// Dynamic values: records, lists, texts, numbers, truth values and nothing, as nlohmann's
// insertion-ordered JSON. State records, model replies and answer records are Values.

#include <nlohmann/json.hpp>

#include <string>
#include <string_view>
#include <vector>

namespace veltaai {

using Value = nlohmann::ordered_json;

// Truth of a value: nothing is false, a truth value is itself, empty or zero is false,
// anything else is true.
bool is_truthy(const Value& value);

// A short name of a value's kind for error messages: "record", "list", "text", ...
std::string kind_name(const Value& value);

// The quoted form of a text as Python's repr shows it: single quotes, or double quotes when the
// text holds a single quote and no double quote; backslashes doubled, line breaks, tabs and
// carriage returns written as \n, \t, \r.
std::string quoted_text(std::string_view text);

// A list of texts as a prompt shows it: ['SELECT 1', "it's"]. Entries that are not texts are
// written in their JSON form.
std::string text_list(const Value& list);
std::string text_list(const std::vector<std::string>& list);

// The shortest decimal text that reads back as the same number of seconds: 2.5,
// 0.8731234073638916, 3.0.
std::string shortest_decimal(double seconds);

// A value as Python's repr() writes it: 'text' quoted, None, True/False, integers, floats in
// their shortest form (0.7, 1.0, 1e+16), lists and records of those: {'model': 'x', 'n': 1}.
std::string python_repr(const Value& value);
// As Python's str(): a text as it is, anything else as python_repr.
std::string python_str(const Value& value);

// Reads key from a record, throwing KeyError when it is absent.
const Value& require_key(const Value& record, const std::string& key);

}  // namespace veltaai
