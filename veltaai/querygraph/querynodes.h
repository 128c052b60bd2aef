#pragma once
// The nodes of the query graph and the conditions that route between them. A node takes the
// state of its step and returns an update record; a condition reads the state and names the
// route to take. Reading a key the state lacks raises KeyError, which ends the run.

#include "veltaai/core/value.h"
#include "veltaai/graph/state_view.h"
#include "veltaai/llm/chat_model.h"
#include "veltaai/llm/prompt_template.h"
#include "veltaai/querygraph/custom_sql.h"

#include <memory>
#include <string>
#include <vector>

namespace veltaai::querygraph {

// ---------------------------------------------------------------------------------------------
// Records the model's structured replies are bound to

inline const llm::StructuredSchema RelevantTablesOutput{
    "RelevantTablesOutput", {{"relevant_tables", llm::FieldType::text_list, "List of relevant table names"}}};
inline const llm::StructuredSchema RewriteQueryOutput{
    "RewriteQueryOutput", {{"rewritten_question", llm::FieldType::text, "Rewritten question"}}};
inline const llm::StructuredSchema SQLQueryInput{
    "SQLQueryInput", {{"sql_query", llm::FieldType::text, "SQL query string to be executed"}}};
inline const llm::StructuredSchema GenerationOutput{
    "GenerationOutput",
    {{"image_path", llm::FieldType::text, "image path generated if exists in context"},
     {"final_response", llm::FieldType::text, "final response"}}};
inline const llm::StructuredSchema PythonCodeInput{
    "PythonCodeInput", {{"code", llm::FieldType::text, "Python code to be executed"}}};

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
// Tables and schemas

// "table_names_lookup_node": {table_names_from_db: the usable table names joined by ", "}.
class TableNamesLookup {
public:
    explicit TableNamesLookup(std::shared_ptr<CustomSQLDatabase> db);
    Value invoke(graph::StateView& state);

private:
    ListSQLDatabaseTool tool_;
};

// Prompt-based choice of the tables a question needs (the graph uses the picker instead):
// {relevant_tables: the model's list, unchecked}. Prefers a non-empty rewritten_question.
class RelevantTableNames {
public:
    RelevantTableNames(std::shared_ptr<CustomSQLDatabase> db, std::shared_ptr<llm::ChatModel> model);
    Value invoke(graph::StateView& state);
    // System SQL_PREFIX, then the human question with the tail appended after formatting.
    llm::ChatMessages generate_prompt(const graph::StateView& state) const;

private:
    std::string dialect_;
    std::shared_ptr<llm::StructuredModel> model_;
    llm::ChatPromptTemplate template_;
};

// "relevant_schemas_node": {sql_generation_prompt_type: "generation",
// schemas_from_relevant_tables: the schema text of relevant_tables}. The chosen names are
// matched to the database's own (see matched_tables), so a name in another case, quoted or
// with a schema prefix still finds its table.
class RelevantSchemas {
public:
    explicit RelevantSchemas(std::shared_ptr<CustomSQLDatabase> db);
    Value invoke(graph::StateView& state);

    // The database's names for the texts of picked, in their order without repeats: the same
    // name, else the same ignoring case, else the same once quotes and any schema prefix are
    // removed (exactly, then ignoring case). Names that match no table are dropped with a
    // warning in the log; when none is left, every usable table.
    std::vector<std::string> matched_tables(const Value& picked);

private:
    InfoSQLDatabaseTool tool_;
};

// "rewrite_query_node": has the model restate user_question against the schema of every
// usable table: {rewritten_question: the model's text}.
class RewriteQuery {
public:
    RewriteQuery(std::shared_ptr<CustomSQLDatabase> db, std::shared_ptr<llm::ChatModel> model);
    Value invoke(graph::StateView& state);
    // One system message; reads the schemas of table_names_from_db from the database.
    llm::ChatMessages generate_prompt(const graph::StateView& state);

private:
    std::shared_ptr<llm::StructuredModel> model_;
    InfoSQLDatabaseTool tool_;
    llm::ChatPromptTemplate template_;
};

// ---------------------------------------------------------------------------------------------
// SQL

// "sql_generation_node": {generated_sql_query: [the model's query]}, written fresh
// ("generation") or repaired from every earlier (query, result) pair ("correction").
class SQLGeneration {
public:
    SQLGeneration(std::shared_ptr<CustomSQLDatabase> db, std::shared_ptr<llm::ChatModel> model);
    Value invoke(graph::StateView& state);
    // ValueError "Messages not generated correctly." for any other prompt type.
    llm::ChatMessages generate_messages(const graph::StateView& state) const;

private:
    std::shared_ptr<llm::StructuredModel> model_;
    std::string dialect_;
    llm::ChatPromptTemplate generate_template_;
    llm::ChatPromptTemplate correct_template_;
};

// "sql_syntax_checker_node": replaces the newest generated query, in the state's own list,
// with the model's review of it; returns an empty update.
class SQLSyntaxChecker {
public:
    SQLSyntaxChecker(std::shared_ptr<CustomSQLDatabase> db, std::shared_ptr<llm::ChatModel> model);
    Value invoke(graph::StateView& state);

private:
    QuerySQLCheckerTool tool_;
};

// "sql_execution_node": runs the newest query. Rows: {sql_execution_result: [rows],
// execution_success: true, pandas_generation_prompt_type: "generation"}. No rows:
// {sql_execution_result: ["None"], execution_success: false}. A database error: the error text
// under both sql_execution_result and execution_error, execution_success false.
class SQLExecution {
public:
    explicit SQLExecution(std::shared_ptr<CustomSQLDatabase> db);
    Value invoke(graph::StateView& state);

private:
    std::shared_ptr<CustomSQLDatabase> db_;
};

// ---------------------------------------------------------------------------------------------
// Answer

// "final_response_generation_node": shows the model the question, every query, the newest
// result and the analysis code with its output: {final_response, image_path} as it replies.
class GenerateResponse {
public:
    explicit GenerateResponse(std::shared_ptr<llm::ChatModel> model);
    Value invoke(graph::StateView& state);
    // The one prompt text; analysis keys the state lacks show as empty text.
    std::string generate_prompt(const graph::StateView& state) const;

private:
    std::shared_ptr<llm::StructuredModel> model_;
};

// ---------------------------------------------------------------------------------------------
// Analysis code generation and repair

// "pandas_generator_node": {pandas_code: the model's code}, written from the (query, result)
// pairs ("generation") or repaired from the failing code and its error ("correction").
class PandasGenerator {
public:
    explicit PandasGenerator(std::shared_ptr<llm::ChatModel> model);
    Value invoke(graph::StateView& state);
    // Generation: system and human message. Correction: the repair text as one human message.
    // Any other prompt type is a ValueError.
    llm::ChatMessages generate_prompt(const graph::StateView& state) const;

private:
    std::shared_ptr<llm::StructuredModel> model_;
    llm::ChatPromptTemplate template_;
    llm::PromptTemplate correction_template_;
};

// Repairs failing analysis code (the graph repairs through PandasGenerator instead):
// {pandas_code: the model's code}.
class PandasCorrection {
public:
    explicit PandasCorrection(std::shared_ptr<llm::ChatModel> model);
    Value invoke(graph::StateView& state);
    std::string generate_prompt(const graph::StateView& state) const;

private:
    std::shared_ptr<llm::StructuredModel> model_;
    llm::PromptTemplate template_;
};

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
