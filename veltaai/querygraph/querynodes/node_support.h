#pragma once
// Small readings of the state shared by the node sources: the question a node answers, table
// lists in their one-text form, and lists paired position by position.

#include "veltaai/core/errors.h"
#include "veltaai/core/value.h"
#include "veltaai/graph/state_view.h"

#include <algorithm>
#include <string>

namespace veltaai::querygraph::support {

// The text under key; anything else is a TypeError naming the key.
inline const std::string& text_at(const graph::StateView& state, const std::string& key) {
    const Value& value = state.at(key);
    if (!value.is_string()) throw TypeError(key + " must be a text, not a " + kind_name(value));
    return value.get_ref<const std::string&>();
}

// The list under key; anything else is a TypeError naming the key.
inline const Value& list_at(const graph::StateView& state, const std::string& key) {
    const Value& value = state.at(key);
    if (!value.is_array()) throw TypeError(key + " must be a list, not a " + kind_name(value));
    return value;
}

// The rewritten question when one has been written, else the user's own.
inline const Value& chosen_question(const graph::StateView& state) {
    const Value& rewritten = state.at("rewritten_question");
    return is_truthy(rewritten) ? rewritten : state.at("user_question");
}

// A list of table names joined by "," (no blank); a text as it stands.
inline std::string table_names_text(const Value& names, const std::string& key) {
    if (names.is_string()) return names.get<std::string>();
    if (!names.is_array()) throw TypeError(key + " must be a list or a text, not a " + kind_name(names));
    std::string joined;
    bool first = true;
    for (const Value& name : names) {
        if (!name.is_string()) throw TypeError(key + " must hold texts, not a " + kind_name(name));
        if (!first) joined += ',';
        joined += name.get<std::string>();
        first = false;
    }
    return joined;
}

// [[a0, b0], [a1, b1], ...] for as many positions as the shorter list has.
inline Value zip_pairs(const Value& first, const Value& second) {
    Value pairs = Value::array();
    const std::size_t count = std::min(first.size(), second.size());
    for (std::size_t i = 0; i < count; ++i) pairs.push_back(Value::array({first[i], second[i]}));
    return pairs;
}

// The newest entry of the list under key; an empty list is an IndexError.
inline const Value& last_entry(const graph::StateView& state, const std::string& key) {
    const Value& list = list_at(state, key);
    if (list.empty()) throw IndexError(key + " is empty");
    return list.back();
}

}  // namespace veltaai::querygraph::support
