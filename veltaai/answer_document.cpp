#include "veltaai/answer_document.h"

#include "veltaai/core/errors.h"
#include "veltaai/core/python_literal.h"

namespace veltaai {

namespace {

Value text_or_null(const Value& state, const char* key) {
    if (!state.is_object()) return nullptr;
    const auto it = state.find(key);
    if (it == state.end() || !it->is_string() || it->get_ref<const std::string&>().empty()) return nullptr;
    return *it;
}

Value list_of(const Value& state, const char* key) {
    if (!state.is_object()) return Value::array();
    const auto it = state.find(key);
    return it != state.end() && it->is_array() ? *it : Value::array();
}

std::string as_text(const Value& value) { return value.is_string() ? value.get<std::string>() : value.dump(); }

// Queries with their outcomes. Once a query succeeds the graph writes no more SQL, so the
// failures come first, paired with the errors in order, and the successes last.
Value queries_of(const Value& state) {
    const Value queries = list_of(state, "generated_sql_query");
    const Value results = list_of(state, "sql_execution_result");
    const Value errors = list_of(state, "execution_error");
    const std::size_t failed = queries.size() >= results.size() ? queries.size() - results.size() : 0;
    Value out = Value::array();
    for (std::size_t i = 0; i < queries.size(); ++i) {
        Value entry = {{"sql", as_text(queries[i])}, {"rows", nullptr}, {"truncated", false}, {"error", nullptr}};
        if (i < failed) {
            if (i < errors.size()) entry["error"] = as_text(errors[i]);
        } else if (const std::size_t r = i - failed; r < results.size()) {
            bool truncated = false;
            try {
                entry["rows"] = result_rows(as_text(results[r]), truncated);
                entry["truncated"] = truncated;
            } catch (const ValueError&) {
                entry["text"] = as_text(results[r]);  // not a result the handle rendered
            }
        }
        out.push_back(std::move(entry));
    }
    return out;
}

}  // namespace

Value result_rows(const std::string& result_text, bool& truncated) {
    truncated = false;
    if (result_text.empty()) return Value::array();
    try {
        return parse_python_literal(result_text);
    } catch (const ValueError&) {
        // A cut result: the rows shown, then a note on a line of its own.
        const std::size_t end = result_text.rfind("]\n");
        if (end == std::string::npos) throw;
        Value rows = parse_python_literal(std::string_view(result_text).substr(0, end + 1));
        truncated = true;
        return rows;
    }
}

Value answer_document(const AnswerRun& run) {
    const Value& state = run.final_state;
    Value timings = Value::array();
    for (const NodeTiming& timing : run.timings) timings.push_back({{"node", timing.node}, {"seconds", timing.seconds}});
    Value error = nullptr;
    if (!run.error.empty()) {
        error = {{"message", run.error}, {"cause", run.cause.empty() ? Value() : Value(run.cause)}};
    }
    return {
        {"question", run.question},
        {"answer", text_or_null(state, "final_response")},
        {"queries", queries_of(state)},
        {"python_code", text_or_null(state, "pandas_code")},
        {"python_output", text_or_null(state, "python_executed_output")},
        {"image_path", text_or_null(state, "image_path")},
        {"tokens", run.tokens},
        {"cost", run.cost},
        {"timings", std::move(timings)},
        {"error", std::move(error)},
    };
}

}  // namespace veltaai
