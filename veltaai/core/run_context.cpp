#include "veltaai/core/run_context.h"

#include <utility>

namespace veltaai {
namespace {

RunContext& installed() {
    thread_local RunContext context;
    return context;
}

}  // namespace

RunContext RunContext::current() {
    return installed();
}

std::shared_ptr<void> RunContext::get(const std::string& key) const {
    if (!entries_) return nullptr;
    const auto it = entries_->find(key);
    return it == entries_->end() ? nullptr : it->second;
}

RunContext RunContext::with(const std::string& key, std::shared_ptr<void> value) const {
    auto entries = entries_ ? std::make_shared<Entries>(*entries_) : std::make_shared<Entries>();
    if (value) {
        (*entries)[key] = std::move(value);
    } else {
        entries->erase(key);
    }
    RunContext out;
    out.entries_ = std::move(entries);
    return out;
}

RunContext::Scope::Scope(RunContext context) : previous_(std::exchange(installed(), std::move(context))) {}

RunContext::Scope::~Scope() {
    installed() = std::move(previous_);
}

}  // namespace veltaai
