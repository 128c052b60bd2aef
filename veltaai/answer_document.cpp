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

std::string as_text(const Value& value) {
    return value.is_string() ? value.get<std::string>() : value.dump();
}

Value query_entry(const Value& query) {
    return {{"sql", as_text(query)}, {"rows", nullptr}, {"truncated", false}, {"error", nullptr}};
}

void read_rows(Value& entry, const Value& result) {
    bool truncated = false;
    try {
        Value rows = result_rows(as_text(result), truncated);
        entry["rows"] = rows.is_null() ? Value::array() : std::move(rows);  // "None": ran, no rows
        entry["truncated"] = truncated;
    } catch (const ValueError&) {
        entry["text"] = as_text(result);  // not a result the handle rendered
    }
}

// Queries with their outcomes. The execution node gives every query a result, a failed one
// the database's message, which execution_error holds as well, in the same order. A state
// with results for the successes only has the failures first (once a query succeeds the
// graph writes no more SQL), paired with the errors in order.
Value queries_of(const Value& state) {
    const Value queries = list_of(state, "generated_sql_query");
    const Value results = list_of(state, "sql_execution_result");
    const Value errors = list_of(state, "execution_error");
    Value out = Value::array();
    if (results.size() == queries.size()) {
        std::size_t next_error = 0;
        for (std::size_t i = 0; i < queries.size(); ++i) {
            Value entry = query_entry(queries[i]);
            if (next_error < errors.size() && results[i] == errors[next_error]) {
                entry["error"] = as_text(errors[next_error++]);
            } else {
                read_rows(entry, results[i]);
            }
            out.push_back(std::move(entry));
        }
        return out;
    }
    const std::size_t failed = queries.size() >= results.size() ? queries.size() - results.size() : 0;
    for (std::size_t i = 0; i < queries.size(); ++i) {
        Value entry = query_entry(queries[i]);
        if (i < failed) {
            if (i < errors.size()) entry["error"] = as_text(errors[i]);
        } else if (const std::size_t r = i - failed; r < results.size()) {
            read_rows(entry, results[r]);
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
    for (const NodeTiming& timing : run.timings)
        timings.push_back({{"node", timing.node}, {"seconds", timing.seconds}});
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
