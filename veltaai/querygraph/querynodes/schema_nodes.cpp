// The schema text of the chosen tables, and the question restated against the whole schema.

#include "veltaai/querygraph/querygraph_prompts.h"
#include "veltaai/querygraph/querynodes.h"
#include "veltaai/querygraph/querynodes/node_support.h"

namespace veltaai::querygraph {

RelevantSchemas::RelevantSchemas(std::shared_ptr<CustomSQLDatabase> db) : tool_(std::move(db)) {}

Value RelevantSchemas::invoke(graph::StateView& state) {
    const std::string tables =
        support::table_names_text(support::list_at(state, "relevant_tables"), "relevant_tables");
    // Every pass through here, the first and the one after a rewrite, starts SQL afresh.
    return {{"sql_generation_prompt_type", "generation"},
            {"schemas_from_relevant_tables", tool_._run(tables)}};
}

RewriteQuery::RewriteQuery(std::shared_ptr<CustomSQLDatabase> db, std::shared_ptr<llm::ChatModel> model)
    : model_(model->with_structured_output(RewriteQueryOutput)),
      tool_(std::move(db)),
      template_(
          llm::ChatPromptTemplate::from_messages({{"system", std::string(REWRITE_QUESTION_TEMPLATE)}})) {}

llm::ChatMessages RewriteQuery::generate_prompt(const graph::StateView& state) {
    const std::string tables =
        support::table_names_text(state.at("table_names_from_db"), "table_names_from_db");
    // Always the question as the user asked it, never an earlier rewrite.
    return template_.format_messages(
        {{"user_question", state.at("user_question")}, {"schemas_from_all_tables", tool_._run(tables)}});
}

Value RewriteQuery::invoke(graph::StateView& state) {
    const Value reply = model_->invoke(generate_prompt(state));
    return {{"rewritten_question", require_key(reply, "rewritten_question")}};
}

}  // namespace veltaai::querygraph
