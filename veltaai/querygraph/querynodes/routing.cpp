// The entry node, the two repair handlers and the routing conditions of the query graph.

#include "veltaai/core/errors.h"
#include "veltaai/querygraph/querynodes.h"

#include <cstdint>
#include <utility>

namespace veltaai::querygraph {
namespace {

constexpr int kSqlRepairLimit = 5;
constexpr int kPandasRepairLimit = 3;
constexpr char kCorrectionPrompt[] = "correction";
constexpr char kSqlFailedText[] = "SQL generation failed after max iterations";
constexpr char kPythonFailedText[] = "Python generation failed after max iterations";

bool is_numeric(const Value& value) {
    return value.is_number() || value.is_boolean();
}

// Calls f with an integral value (a truth value counts as 0 or 1) in its own width.
template <class F>
int with_integer(const Value& v, F f) {
    if (v.is_number_unsigned()) return f(v.get<std::uint64_t>());
    if (v.is_boolean()) return f(static_cast<std::int64_t>(v.get<bool>()));
    return f(v.get<std::int64_t>());
}

// Counters and limits compare as numbers: integers exactly, anything fractional as a double.
int compare_numbers(const Value& a, const Value& b) {
    if (a.is_number_float() || b.is_number_float()) {
        const auto as_double = [](const Value& v) {
            return v.is_boolean() ? (v.get<bool>() ? 1.0 : 0.0) : v.get<double>();
        };
        const double x = as_double(a), y = as_double(b);
        return (x > y) - (x < y);
    }
    return with_integer(a, [&](auto x) {
        return with_integer(b, [&](auto y) {
            return std::cmp_less(x, y) ? -1 : std::cmp_equal(x, y) ? 0 : 1;
        });
    });
}

bool less(const Value& a, const Value& b, const char* a_name, const char* b_name) {
    if (!is_numeric(a) || !is_numeric(b)) {
        throw TypeError(std::string("cannot compare ") + a_name + " (a " + kind_name(a) + ") with " + b_name +
                        " (a " + kind_name(b) + ")");
    }
    return compare_numbers(a, b) < 0;
}

// Equality never fails: a value that is not a number equals no number.
bool equal(const Value& a, const Value& b) {
    return is_numeric(a) && is_numeric(b) && compare_numbers(a, b) == 0;
}

}  // namespace

Value initialisation(graph::StateView& inputs) {
    Value record = inputs.record();
    record["iteration_count"] = 0;
    record["max_iterations"] = kSqlRepairLimit;
    record["rewrite_count"] = 0;
    record["rewritten_question"] = "";
    record["generated_sql_query"] = Value::array();
    record["execution_error"] = Value::array();
    record["sql_execution_result"] = Value::array();
    record["max_iterations_pandas"] = kPandasRepairLimit;
    // The record goes back as an update, so accumulating keys the caller supplied would count
    // twice; their neutral values keep the caller's values as they are.
    if (record.contains("follow_up_question")) record["follow_up_question"] = Value::array();
    if (record.contains("iteration_count_pandas")) record["iteration_count_pandas"] = 0;
    return record;
}

Value handle_sql_error(graph::StateView& state) {
    const Value& i = state.at("iteration_count");
    const Value& r = state.at("rewrite_count");
    const Value& m = state.at("max_iterations");
    const Value zero = 0;
    if (less(i, m, "iteration_count", "max_iterations") && equal(r, zero)) {
        return {{"iteration_count", 1}, {"sql_generation_prompt_type", kCorrectionPrompt}};
    }
    if (equal(i, m) && equal(r, zero)) return {{"rewrite_count", 1}};
    return {{"sql_execution_result", Value::array({kSqlFailedText})}, {"iteration_count", 0}};
}

Value handle_pandas_error(graph::StateView& state) {
    const Value& k = state.at("iteration_count_pandas");
    const Value& limit = state.at("max_iterations_pandas");
    if (less(k, limit, "iteration_count_pandas", "max_iterations_pandas")) {
        return {{"iteration_count_pandas", 1}, {"pandas_generation_prompt_type", kCorrectionPrompt}};
    }
    return {{"python_executed_output", kPythonFailedText}, {"iteration_count_pandas", 0}};
}

std::string sql_execution_condition(const graph::StateView& state) {
    return is_truthy(state.at("execution_success")) ? "pandas_generation" : "sql_execution_error";
}

std::string sql_error_handler_condition(const graph::StateView& state) {
    const Value& i = state.at("iteration_count");
    const Value& r = state.at("rewrite_count");
    const Value& m = state.at("max_iterations");
    const Value zero = 0;
    if (less(i, m, "iteration_count", "max_iterations") && equal(r, zero)) return "regenerate_sql_query";
    if (equal(i, m) && equal(r, zero)) return "rewrite_query";
    return "terminal_failure_response";
}

std::string pandas_execution_condition(const graph::StateView& state) {
    return is_truthy(state.at("python_execution_success")) ? "final_response" : "pandas_execution_error";
}

std::string pandas_error_handler_condition(const graph::StateView& state) {
    const Value& k = state.at("iteration_count_pandas");
    const Value& limit = state.at("max_iterations_pandas");
    return less(k, limit, "iteration_count_pandas", "max_iterations_pandas") ? "regenerate_pandas_code"
                                                                             : "terminal_failure_response";
}

std::string sql_syntax_condition(const graph::StateView& state) {
    return is_truthy(state.at("is_valid_syntax")) ? "sql_execute" : "sql_syntax_error";
}

std::string pandas_code_condition(const graph::StateView& state) {
    return is_truthy(state.at("use_pandas_ai_flag")) ? "use_pandas" : "generate_response";
}

}  // namespace veltaai::querygraph
