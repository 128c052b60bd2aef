#include "veltaai/llm/usage.h"

#include "veltaai/core/errors.h"
#include "veltaai/core/log.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <regex>
#include <set>

namespace veltaai::llm {
namespace detail {
extern const char* const model_prices_json;
}

namespace {

constexpr const char* usage_key = "llm.usage";

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

const std::map<std::string, ModelPrice>& price_table() {
    static const std::map<std::string, ModelPrice> table = [] {
        std::map<std::string, ModelPrice> out;
        const Value data = Value::parse(detail::model_prices_json);
        for (const auto& [name, entry] : data.items()) {
            if (!name.empty() && name.front() == '_') continue;
            if (!entry.is_object() || !entry.contains("input") || !entry.contains("output") ||
                !entry["input"].is_number() || !entry["output"].is_number()) {
                throw ValueError("price table entry '" + name + "' needs numbers \"input\" and \"output\"");
            }
            out[lower(name)] = ModelPrice{entry["input"].get<double>(), entry["output"].get<double>()};
        }
        return out;
    }();
    return table;
}

}  // namespace

void UsageTotals::add(const std::string& model, const TokenUsage& usage) {
    const double cost = call_cost(model, usage);
    for (UsageTotals* totals = this; totals; totals = totals->parent_.get()) {
        std::lock_guard lock(totals->mutex_);
        totals->prompt_tokens_ += usage.prompt_tokens;
        totals->completion_tokens_ += usage.completion_tokens;
        totals->total_tokens_ += usage.total_tokens;
        totals->successful_requests_ += 1;
        totals->total_cost_ += cost;
    }
}

long UsageTotals::total_tokens() const {
    std::lock_guard lock(mutex_);
    return total_tokens_;
}

long UsageTotals::prompt_tokens() const {
    std::lock_guard lock(mutex_);
    return prompt_tokens_;
}

long UsageTotals::completion_tokens() const {
    std::lock_guard lock(mutex_);
    return completion_tokens_;
}

long UsageTotals::successful_requests() const {
    std::lock_guard lock(mutex_);
    return successful_requests_;
}

double UsageTotals::total_cost() const {
    std::lock_guard lock(mutex_);
    return total_cost_;
}

UsageScope::UsageScope()
    : totals_(std::make_shared<UsageTotals>(current_usage())),
      installed_(RunContext::current().with(usage_key, totals_)) {}

std::shared_ptr<UsageTotals> current_usage() {
    return std::static_pointer_cast<UsageTotals>(RunContext::current().get(usage_key));
}

void record_usage(const std::string& model, const TokenUsage& usage) {
    if (auto totals = current_usage()) totals->add(model, usage);
}

std::optional<ModelPrice> model_price(const std::string& model) {
    const auto& table = price_table();
    const std::string name = lower(model);
    if (const auto it = table.find(name); it != table.end()) return it->second;
    // Dated snapshots: "-2024-05-13" or "-0613" after the family name.
    static const std::regex dated(R"((.*?)-(\d{4}-\d{2}-\d{2}|\d{4})$)");
    std::smatch match;
    if (std::regex_match(name, match, dated)) {
        if (const auto it = table.find(match[1].str()); it != table.end()) return it->second;
    }
    return std::nullopt;
}

double call_cost(const std::string& model, const TokenUsage& usage) {
    if (const auto price = model_price(model)) {
        return (usage.prompt_tokens * price->input_per_1k + usage.completion_tokens * price->output_per_1k) /
               1000.0;
    }
    static std::mutex mutex;
    static std::set<std::string> reported;
    std::lock_guard lock(mutex);
    if (reported.insert(model).second) {
        log::get("llm")->warn("No price known for model '{}'; its calls are counted at cost 0", model);
    }
    return 0.0;
}

}  // namespace veltaai::llm
