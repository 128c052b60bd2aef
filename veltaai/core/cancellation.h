#pragma once
// Stopping a run early: a token the host cancels (its client went away) and an optional
// deadline. The graph runtime installs the token of a run in the run's context, so the HTTP
// client and the Python kernel see it on every thread of the run and give up at once.
//
//     auto stop = std::make_shared<Cancellation>(steady_clock::now() + 30s);
//     ... on another thread: stop->cancel();
//     ... in the run: Cancellation::check_current();   // throws RunCancelled or DeadlineExceeded

#include "veltaai/core/errors.h"
#include "veltaai/core/run_context.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>

namespace veltaai {

// The run was cancelled by its host.
class RunCancelled : public Error {
public:
    using Error::Error;
};

// The run's deadline passed before it ended.
class DeadlineExceeded : public Error {
public:
    using Error::Error;
};

// Safe to share between threads: cancel() and the checks may race freely.
class Cancellation {
public:
    using Clock = std::chrono::steady_clock;

    Cancellation() = default;
    // A token that is also cancelled when parent is, and whose deadline is the earlier one.
    explicit Cancellation(std::optional<Clock::time_point> deadline,
                          std::shared_ptr<const Cancellation> parent = nullptr);

    void cancel() noexcept { cancelled_.store(true, std::memory_order_relaxed); }
    // cancel() was called here or on the parent.
    bool cancelled() const noexcept;
    std::optional<Clock::time_point> deadline() const noexcept { return deadline_; }
    // Cancelled, or past the deadline.
    bool stopped() const noexcept { return cancelled() || (deadline_ && Clock::now() >= *deadline_); }
    // Throws RunCancelled or DeadlineExceeded when stopped.
    void check() const;

    // The token of the run the calling thread works for, or null.
    static std::shared_ptr<const Cancellation> current();
    // Throws when the calling thread's run is stopped; nothing outside a run with a token.
    static void check_current();
    // context with this token installed.
    static RunContext install(const RunContext& context, std::shared_ptr<const Cancellation> token);

private:
    std::atomic<bool> cancelled_{false};
    std::optional<Clock::time_point> deadline_;
    std::shared_ptr<const Cancellation> parent_;
};

}  // namespace veltaai
