// The nodes that open the road from a question to SQL: the database's table names and the
// model's choice among them.

#include "veltaai/querygraph/querygraph_prompts.h"
#include "veltaai/querygraph/querynodes.h"
#include "veltaai/querygraph/querynodes/node_support.h"

namespace veltaai::querygraph {

TableNamesLookup::TableNamesLookup(std::shared_ptr<CustomSQLDatabase> db) : tool_(std::move(db)) {}

Value TableNamesLookup::invoke(graph::StateView&) {
    return {{"table_names_from_db", tool_._run()}};
}

RelevantTableNames::RelevantTableNames(std::shared_ptr<CustomSQLDatabase> db,
                                       std::shared_ptr<llm::ChatModel> model)
    : dialect_(db->dialect()),
      model_(model->with_structured_output(RelevantTablesOutput)),
      template_(llm::ChatPromptTemplate::from_messages(
          {{"system", std::string(SQL_PREFIX)}, {"human", std::string(GET_RELEVANT_TABLE_NAMES_TEMPLATE)}})) {
}

llm::ChatMessages RelevantTableNames::generate_prompt(const graph::StateView& state) const {
    const Value& question = support::chosen_question(state);
    const std::string tables =
        support::table_names_text(state.at("table_names_from_db"), "table_names_from_db");
    llm::ChatMessages messages = template_.format_messages(
        {{"dialect", dialect_}, {"user_question", question}, {"table_names_from_db", tables}});
    // Appended after formatting: the tail's JSON example keeps its braces.
    messages.at(1).content += TAIL_GET_RELEVANT_TABLE_NAMES_TEMPLATE;
    return messages;
}

Value RelevantTableNames::invoke(graph::StateView& state) {
    const Value reply = model_->invoke(generate_prompt(state));
    return {{"relevant_tables", require_key(reply, "relevant_tables")}};
}

}  // namespace veltaai::querygraph
