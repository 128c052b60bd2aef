// The last node: the model composes the answer from everything the run gathered.

#include "veltaai/core/log.h"
#include "veltaai/querygraph/querynodes.h"
#include "veltaai/querygraph/querynodes/node_support.h"

#include <chrono>

namespace veltaai::querygraph {
namespace {

constexpr const char* kEnterLine = "Enter generate response";
constexpr const char* kFinishLine = "Finish generating response, took ";
constexpr const char* kClosingLine = "Use the above result to address user's question.";

// A value as the prompt shows it; a key the state lacks (the analysis keys on the terminal
// SQL failure route) shows as empty text.
std::string shown(const graph::StateView& state, const std::string& key) {
    return state.contains(key) ? llm::text_form(state.at(key)) : std::string();
}

}  // namespace

GenerateResponse::GenerateResponse(std::shared_ptr<llm::ChatModel> model)
    : model_(model->with_structured_output(GenerationOutput)) {}

std::string GenerateResponse::generate_prompt(const graph::StateView& state) const {
    const Value& queries = state.at("generated_sql_query");
    const std::string query_text = queries.is_array() ? text_list(queries) : llm::text_form(queries);
    const Value& newest_result = support::last_entry(state, "sql_execution_result");
    return "User question: " + llm::text_form(state.at("user_question")) + "\n" +  //
           "SQL query: " + query_text + "\n" +                                     //
           "SQL query result: " + llm::text_form(newest_result) + "\n" +           //
           "Python code: " + shown(state, "pandas_code") + "\n" +                  //
           "Python executed result: " + shown(state, "python_executed_output") + "\n" + kClosingLine;
}

Value GenerateResponse::invoke(graph::StateView& state) {
    log::info(kEnterLine);
    const auto started = std::chrono::steady_clock::now();
    const Value reply = model_->invoke(generate_prompt(state));
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
    log::info(kFinishLine + shortest_decimal(took.count()));
    return {{"final_response", require_key(reply, "final_response")},
            {"image_path", require_key(reply, "image_path")}};
}

}  // namespace veltaai::querygraph
