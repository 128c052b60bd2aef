// The SQL road: the model writes a query (fresh or repaired), reviews it, and the database
// runs it.

#include "veltaai/core/log.h"
#include "veltaai/querygraph/querygraph_prompts.h"
#include "veltaai/querygraph/querynodes.h"
#include "veltaai/querygraph/querynodes/node_support.h"

#include <chrono>

namespace veltaai::querygraph {
namespace {

// The system text of a fresh query; it belongs to this node rather than the catalogue.
constexpr const char* kGenerateSystemText =
    "You are an agent designed to interact with a SQL database.\n"
    "Given an input question, create a syntactically correct {dialect} query to run, then look at the "
    "results of "
    "the query and return the answer.\n"
    "Unless the user specifies a specific number of examples they wish to obtain, always limit your query to "
    "at "
    "most 20 results.\n"
    "You can order the results by a relevant column to return the most interesting examples in the "
    "database.\n"
    "Never query for all the columns from a specific table, only ask for the relevant columns given the "
    "question.\n"
    "You have access to tools for interacting with the database.\n"
    "Only use the below tools. Only use the information returned by the below tools to construct your final "
    "answer.\n"
    "You MUST double check your query before executing it. If you get an error while executing a query, "
    "rewrite "
    "the query and try again.\n"
    "\n"
    "DO NOT make any DML statements (INSERT, UPDATE, DELETE, DROP etc.) to the database.\n"
    "\n"
    "If the question does not seem related to the database, just return \"I don't know\" as the answer.";
constexpr const char* kGenerateUserText =
    "{user_question}\n Schemas_from_relevant_tables: {schemas_from_relevant_tables}";
constexpr const char* kBadPromptType = "Messages not generated correctly.";
constexpr const char* kTimingLine = "Invoke generate sql query tooks: ";
constexpr const char* kNoRows = "None";

}  // namespace

SQLGeneration::SQLGeneration(std::shared_ptr<CustomSQLDatabase> db, std::shared_ptr<llm::ChatModel> model)
    : model_(model->with_structured_output(SQLQueryInput)),
      dialect_(db->dialect()),
      generate_template_(llm::ChatPromptTemplate::from_messages(
          {{"system", kGenerateSystemText}, {"user", kGenerateUserText}})),
      correct_template_(
          {{"system", llm::PromptTemplate(std::string(SQL_PREFIX))},
           {"human", llm::PromptTemplate(std::string(CORRECT_SQL_TEMPLATE), llm::TemplateStyle::jinja2)}}) {}

llm::ChatMessages SQLGeneration::generate_messages(const graph::StateView& state) const {
    const Value& prompt_type = state.at("sql_generation_prompt_type");
    // Every key of the state is offered to the templates; they name only a few.
    Value variables = state.record();
    variables["dialect"] = dialect_;
    if (prompt_type == "generation") return generate_template_.format_messages(variables);
    if (prompt_type == "correction") {
        // Pair i is attempt i: the query as the checker left it and what its execution gave.
        variables["zipped_queries_errors"] = support::zip_pairs(
            support::list_at(state, "generated_sql_query"), support::list_at(state, "sql_execution_result"));
        return correct_template_.format_messages(variables);
    }
    throw ValueError(kBadPromptType);
}

Value SQLGeneration::invoke(graph::StateView& state) {
    const auto started = std::chrono::steady_clock::now();
    const llm::ChatMessages messages = generate_messages(state);
    const Value reply = model_->invoke(messages);
    const Value& query = require_key(reply, "sql_query");
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
    log::info(kTimingLine + shortest_decimal(took.count()));
    return {{"generated_sql_query", Value::array({query})}};
}

SQLSyntaxChecker::SQLSyntaxChecker(std::shared_ptr<CustomSQLDatabase> db,
                                   std::shared_ptr<llm::ChatModel> model)
    : tool_(std::move(db), std::move(model)) {}

Value SQLSyntaxChecker::invoke(graph::StateView& state) {
    // The state's own list: the reviewed text replaces the query for every later node.
    Value& queries = state.list("generated_sql_query");
    if (queries.empty()) throw IndexError("generated_sql_query is empty");
    Value& newest = queries.back();
    if (!newest.is_string())
        throw TypeError("the newest generated query must be a text, not a " + kind_name(newest));
    newest = tool_._run(newest.get<std::string>());
    return Value::object();
}

SQLExecution::SQLExecution(std::shared_ptr<CustomSQLDatabase> db) : db_(std::move(db)) {}

Value SQLExecution::invoke(graph::StateView& state) {
    const Value& newest = support::last_entry(state, "generated_sql_query");
    if (!newest.is_string())
        throw TypeError("the newest generated query must be a text, not a " + kind_name(newest));
    std::string rows;
    try {
        rows = db_->run(newest.get<std::string>(), "all", false);
    } catch (const DatabaseError& error) {
        // The error also goes to execution_error, so the run's last database error can be told
        // apart from queries that merely returned no rows.
        return {{"sql_execution_result", Value::array({error.what()})},
                {"execution_error", Value::array({error.what()})},
                {"execution_success", false}};
    }
    // No rows goes to repair like a rejected query; the model then sees "None" as its error.
    if (rows.empty())
        return {{"sql_execution_result", Value::array({kNoRows})}, {"execution_success", false}};
    return {{"sql_execution_result", Value::array({rows})},
            {"execution_success", true},
            {"pandas_generation_prompt_type", "generation"}};
}

}  // namespace veltaai::querygraph
