#pragma once
// Token and cost accounting of a run. A UsageScope opened around a run collects the tokens
// and the cost of every model call made for that run: chat models, structured output and the
// function-calling client alike.
//
// How calls find their scope: the scope installs its totals in the calling thread's
// RunContext (veltaai/core/run_context.h). Calls on that thread count there. A runtime that
// runs part of the run on another thread carries the context over explicitly:
//
//     auto context = veltaai::RunContext::current();      // on the run's thread
//     ... in the worker: veltaai::RunContext::Scope in_run(context);
//
// Two runs on two threads each have their own scope and never see each other's calls. A
// scope opened inside another counts its calls in both.

#include "veltaai/core/run_context.h"
#include "veltaai/llm/chat_completions.h"

#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace veltaai::llm {

// Running totals; safe to add to from several threads.
class UsageTotals {
public:
    explicit UsageTotals(std::shared_ptr<UsageTotals> parent = nullptr) : parent_(std::move(parent)) {}

    // Counts one call of model: its tokens and, from the price table, its cost.
    void add(const std::string& model, const TokenUsage& usage);

    long total_tokens() const;
    long prompt_tokens() const;
    long completion_tokens() const;
    long successful_requests() const;
    double total_cost() const;  // US dollars

private:
    mutable std::mutex mutex_;
    long prompt_tokens_ = 0;
    long completion_tokens_ = 0;
    long total_tokens_ = 0;
    long successful_requests_ = 0;
    double total_cost_ = 0;
    std::shared_ptr<UsageTotals> parent_;
};

class UsageScope {
public:
    UsageScope();
    UsageScope(const UsageScope&) = delete;
    UsageScope& operator=(const UsageScope&) = delete;

    const std::shared_ptr<UsageTotals>& totals() const { return totals_; }
    long total_tokens() const { return totals_->total_tokens(); }
    long prompt_tokens() const { return totals_->prompt_tokens(); }
    long completion_tokens() const { return totals_->completion_tokens(); }
    long successful_requests() const { return totals_->successful_requests(); }
    double total_cost() const { return totals_->total_cost(); }

private:
    std::shared_ptr<UsageTotals> totals_;
    RunContext::Scope installed_;
};

using OpenAICallback = UsageScope;

// Opens an accounting scope: `auto cb = get_openai_callback(); ...; cb.total_tokens()`.
inline UsageScope get_openai_callback() {
    return UsageScope();
}

// The totals active for the calling thread, or null outside any scope.
std::shared_ptr<UsageTotals> current_usage();

// Counts one model call in the calling thread's scope (nothing happens outside a scope).
void record_usage(const std::string& model, const TokenUsage& usage);

// Price of a model in US dollars per 1,000 tokens, from the price table compiled into the
// library. Names are matched without case; a dated name ("gpt-4o-2024-05-13") not in the
// table falls back to its undated form.
struct ModelPrice {
    double input_per_1k = 0;
    double output_per_1k = 0;
};
std::optional<ModelPrice> model_price(const std::string& model);

// The cost of one call; a model without a price costs 0 and is logged once.
double call_cost(const std::string& model, const TokenUsage& usage);

}  // namespace veltaai::llm
