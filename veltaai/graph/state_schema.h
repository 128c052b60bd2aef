#pragma once
// The declared keys of a graph's state record, each with the rule that merges a node's update
// into the stored value.

#include "veltaai/core/value.h"

#include <cstddef>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace veltaai::graph {

enum class MergeRule {
    replace,  // the new value replaces the stored one
    append,   // the stored list is followed by the new list
    add,      // the stored number plus the new one; reads 0 before the first write
};

struct StateKey {
    std::string name;
    MergeRule rule = MergeRule::replace;
};

class StateSchema {
public:
    StateSchema() = default;
    // Keys in declaration order. A name declared twice is a ValueError.
    StateSchema(std::initializer_list<StateKey> keys);
    explicit StateSchema(std::vector<StateKey> keys);

    const std::vector<StateKey>& keys() const noexcept { return keys_; }
    std::size_t size() const noexcept { return keys_.size(); }

    // Position of a declared key, or nothing for an undeclared one.
    std::optional<std::size_t> index_of(std::string_view name) const;
    const StateKey* find(std::string_view name) const;
    bool declares(std::string_view name) const { return index_of(name).has_value(); }

    // The value key holds after merging incoming into stored (nullptr: never written).
    // TypeError when incoming does not fit the rule: append takes lists, add takes numbers.
    static Value merged(const StateKey& key, const Value* stored, const Value& incoming);
    // Merges incoming into record[key.name] in place, moving from incoming.
    static void merge_into(Value& record, const StateKey& key, Value&& incoming);

private:
    struct NameHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view name) const noexcept {
            return std::hash<std::string_view>{}(name);
        }
    };

    void index_keys();

    std::vector<StateKey> keys_;
    std::unordered_map<std::string, std::size_t, NameHash, std::equal_to<>> positions_;
};

}  // namespace veltaai::graph
