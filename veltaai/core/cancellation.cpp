#include "veltaai/core/cancellation.h"

#include <algorithm>

namespace veltaai {
namespace {
constexpr const char* context_key = "cancellation";
}

Cancellation::Cancellation(std::optional<Clock::time_point> deadline,
                           std::shared_ptr<const Cancellation> parent)
    : deadline_(deadline), parent_(std::move(parent)) {
    if (parent_ && parent_->deadline_)
        deadline_ = deadline_ ? std::min(*deadline_, *parent_->deadline_) : parent_->deadline_;
}

bool Cancellation::cancelled() const noexcept {
    return cancelled_.load(std::memory_order_relaxed) || (parent_ && parent_->cancelled());
}

void Cancellation::check() const {
    if (cancelled()) throw RunCancelled("the run was cancelled");
    if (deadline_ && Clock::now() >= *deadline_) throw DeadlineExceeded("the run's deadline passed");
}

std::shared_ptr<const Cancellation> Cancellation::current() {
    return std::static_pointer_cast<const Cancellation>(RunContext::current().get(context_key));
}

void Cancellation::check_current() {
    if (const auto token = current()) token->check();
}

RunContext Cancellation::install(const RunContext& context, std::shared_ptr<const Cancellation> token) {
    return context.with(context_key, std::const_pointer_cast<Cancellation>(std::move(token)));
}

}  // namespace veltaai
