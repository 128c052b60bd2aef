#pragma once
// What a graph node sees of the state: the stored values of one step, read without copying.
// A node may edit a stored list in place (later nodes see the edit); everything else it
// changes goes through the update record it returns.

#include "veltaai/core/errors.h"
#include "veltaai/core/value.h"

#include <string>

namespace veltaai::graph {

class StateView {
public:
    // A view over a record owned by the caller: the runtime's stored state, or a record built
    // by a test or host that calls a node directly. Anything but a record is a TypeError.
    explicit StateView(Value& record, const Value* overlay = nullptr) : record_(&record), overlay_(overlay) {
        if (!record.is_object()) throw TypeError("state must be a record, got a " + kind_name(record));
    }

    bool contains(const std::string& key) const {
        return (overlay_ && overlay_->contains(key)) || record_->contains(key);
    }

    // The value of key; KeyError when the state has none.
    const Value& at(const std::string& key) const {
        if (overlay_) {
            const auto it = overlay_->find(key);
            if (it != overlay_->end()) return *it;
        }
        const auto it = record_->find(key);
        if (it == record_->end()) throw KeyError(key);
        return *it;
    }

    const Value& operator[](const std::string& key) const { return at(key); }

    // The stored list under key itself, for editing in place.
    Value& list(const std::string& key) {
        if (overlay_ && overlay_->contains(key)) {
            throw TypeError("list '" + key + "' was updated in this step and cannot be edited in place");
        }
        const auto it = record_->find(key);
        if (it == record_->end()) throw KeyError(key);
        if (!it->is_array()) throw TypeError("state key '" + key + "' is not a list");
        return *it;
    }

    // A copy of every key that has a value, the overlay's values in place of the stored ones.
    Value record() const {
        Value copy = *record_;
        if (overlay_) {
            for (const auto& [key, value] : overlay_->items()) copy[key] = value;
        }
        return copy;
    }

private:
    Value* record_;
    const Value* overlay_;
};

}  // namespace veltaai::graph
