#pragma once
// The nodes of the query graph and the conditions that route between them. A node takes the
// state of its step and returns an update record; a condition reads the state and names the
// route to take. Reading a key the state lacks raises KeyError, which ends the run.

#include "veltaai/core/value.h"
#include "veltaai/graph/state_view.h"
#include "veltaai/llm/prompt_template.h"

#include <memory>
#include <string>

namespace veltaai::llm {
class ChatModel;
}  // namespace veltaai::llm

namespace veltaai::querygraph {

// ---------------------------------------------------------------------------------------------
// Entry node and repair handlers

// "init_node": the input record with the run's starting values: no repair pass or rewrite
// taken yet, no queries or results, the SQL repair limit 5 and the analysis repair limit 3.
Value initialisation(graph::StateView& inputs);

// "sql_error_handler_node": counts a SQL repair pass and asks for the repair prompt while
// passes remain; marks the rewrite as used once they run out; past that, records the final
// failure text as the last execution result.
Value handle_sql_error(graph::StateView& state);

// "pandas_error_handler_node": counts an analysis repair pass and asks for the repair prompt
// while passes remain; past the limit, records the final failure text as the analysis output.
Value handle_pandas_error(graph::StateView& state);

// ---------------------------------------------------------------------------------------------
// Routing conditions

// After "sql_execution_node": "pandas_generation" or "sql_execution_error".
std::string sql_execution_condition(const graph::StateView& state);
// After "sql_error_handler_node": "regenerate_sql_query", "rewrite_query" or
// "terminal_failure_response".
std::string sql_error_handler_condition(const graph::StateView& state);
// After "pandas_executor_node": "final_response" or "pandas_execution_error".
std::string pandas_execution_condition(const graph::StateView& state);
// After "pandas_error_handler_node": "regenerate_pandas_code" or "terminal_failure_response".
std::string pandas_error_handler_condition(const graph::StateView& state);
// Offered for graphs that route on the syntax check's verdict: "sql_execute" or
// "sql_syntax_error".
std::string sql_syntax_condition(const graph::StateView& state);
// Offered for graphs that make analysis code optional: "use_pandas" or "generate_response".
std::string pandas_code_condition(const graph::StateView& state);

// ---------------------------------------------------------------------------------------------
// Analysis code execution

// "pandas_executor_node": runs `pandas_code` in the process's analysis kernel (a child
// interpreter, matplotlib drawing to files only), in a fresh namespace holding only
// `datetime`. Success: {python_executed_output: what the code printed,
// python_execution_success: true}. Any error of the code, and code that runs past the time
// limit or crashes its interpreter: {python_execution_success: false, python_error_message:
// "{kind}: {message}"}. Code that asks to exit ends the run with PythonExit.
class PandasExecutor {
public:
    explicit PandasExecutor(std::shared_ptr<llm::ChatModel> model);

    Value invoke(graph::StateView& state);

    // The one human message of PANDAS_SYSTEM_TEMPLATE rendered with original_question,
    // save_path and zipped_queries_results (follow_up_question, generated_sql_query,
    // sql_execution_result taken position by position). Not used by invoke.
    llm::ChatMessages generate_prompt(const graph::StateView& state) const;

    const std::shared_ptr<llm::ChatModel>& model() const noexcept { return model_; }
    const llm::ChatPromptTemplate& prompt_template() const noexcept { return template_; }

private:
    std::shared_ptr<llm::ChatModel> model_;
    llm::ChatPromptTemplate template_;
};

}  // namespace veltaai::querygraph
