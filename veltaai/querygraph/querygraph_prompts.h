#pragma once
// The prompt catalogue of the query graph: the texts the nodes render before they ask a chat
// model. Single-brace templates ({name}) are formatted with llm::format_single_brace; Jinja2
// templates ({{ name }}, {% for a, b in pairs %}) are rendered by Jinja2 itself.

#include <string_view>

namespace veltaai::querygraph {

// System text for SQL work; single-brace: {dialect} (twice).
extern const std::string_view SQL_PREFIX;
// Human text asking for the relevant tables; single-brace: {user_question}, {table_names_from_db}.
extern const std::string_view GET_RELEVANT_TABLE_NAMES_TEMPLATE;
// Appended unrendered to the relevant-tables message: its braces are literal JSON.
extern const std::string_view TAIL_GET_RELEVANT_TABLE_NAMES_TEMPLATE;
// System text for rewriting a question; single-brace: {user_question}, {schemas_from_all_tables}.
extern const std::string_view REWRITE_QUESTION_TEMPLATE;
// Text for a fresh SQL query; single-brace: {user_question}, {schemas_from_relevant_tables}.
extern const std::string_view GENERATE_SQL_TEMPLATE;
// Human text for repairing SQL; Jinja2: user_question, schemas_from_relevant_tables and the
// (query, error) pairs zipped_queries_errors.
extern const std::string_view CORRECT_SQL_TEMPLATE;
// Instructions for analysis code; Jinja2: save_path.
extern const std::string_view PANDAS_SYSTEM_TEMPLATE;
// Human text for analysis code; Jinja2: original_question and the (query, execution_result)
// pairs zipped_queries_results.
extern const std::string_view PANDAS_HUMAN_TEMPLATE;

}  // namespace veltaai::querygraph
