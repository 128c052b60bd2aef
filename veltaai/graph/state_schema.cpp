#include "veltaai/graph/state_schema.h"

#include "veltaai/core/errors.h"

#include <cstdint>
#include <utility>

namespace veltaai::graph {
namespace {

void check_fits(const StateKey& key, const Value& incoming) {
    if (key.rule == MergeRule::append && !incoming.is_array()) {
        throw TypeError("state key '" + key.name + "' appends lists; got a " + kind_name(incoming));
    }
    if (key.rule == MergeRule::add && !incoming.is_number()) {
        throw TypeError("state key '" + key.name + "' adds numbers; got a " + kind_name(incoming));
    }
}

Value sum(const Value& stored, const Value& incoming) {
    if (stored.is_number_integer() && incoming.is_number_integer()) {
        return stored.get<std::int64_t>() + incoming.get<std::int64_t>();
    }
    return stored.get<double>() + incoming.get<double>();
}

}  // namespace

StateSchema::StateSchema(std::initializer_list<StateKey> keys) : keys_(keys) {
    index_keys();
}

StateSchema::StateSchema(std::vector<StateKey> keys) : keys_(std::move(keys)) {
    index_keys();
}

void StateSchema::index_keys() {
    positions_.reserve(keys_.size());
    for (std::size_t i = 0; i < keys_.size(); ++i) {
        if (!positions_.emplace(keys_[i].name, i).second) {
            throw ValueError("state key '" + keys_[i].name + "' is declared twice");
        }
    }
}

std::optional<std::size_t> StateSchema::index_of(std::string_view name) const {
    const auto it = positions_.find(name);
    if (it == positions_.end()) return std::nullopt;
    return it->second;
}

const StateKey* StateSchema::find(std::string_view name) const {
    const auto index = index_of(name);
    return index ? &keys_[*index] : nullptr;
}

Value StateSchema::merged(const StateKey& key, const Value* stored, const Value& incoming) {
    check_fits(key, incoming);
    switch (key.rule) {
        case MergeRule::replace:
            return incoming;
        case MergeRule::append: {
            if (!stored) return incoming;
            if (!stored->is_array()) {
                throw TypeError("state key '" + key.name + "' holds a " + kind_name(*stored) +
                                ", not a list");
            }
            Value joined = *stored;
            joined.insert(joined.end(), incoming.begin(), incoming.end());
            return joined;
        }
        case MergeRule::add:
            return stored ? sum(*stored, incoming) : incoming;
    }
    return incoming;
}

void StateSchema::merge_into(Value& record, const StateKey& key, Value&& incoming) {
    check_fits(key, incoming);
    const auto it = record.find(key.name);
    if (it == record.end()) {
        record[key.name] = std::move(incoming);
        return;
    }
    Value& stored = *it;
    switch (key.rule) {
        case MergeRule::replace:
            stored = std::move(incoming);
            return;
        case MergeRule::append:
            if (!stored.is_array()) {
                throw TypeError("state key '" + key.name + "' holds a " + kind_name(stored) + ", not a list");
            }
            for (auto& entry : incoming) stored.push_back(std::move(entry));
            return;
        case MergeRule::add:
            stored = sum(stored, incoming);
            return;
    }
}

}  // namespace veltaai::graph
