#pragma once
// Token budgets of the prompts that carry schemas, and fitting a ranked list of tables into
// one. Tokens are estimated from the text as one per four bytes, rounded up: close to what
// the GPT tokenizers give for English and SQL, and never below it for identifiers and JSON.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace veltaai::querygraph {

struct PromptBudgets {
    std::size_t picker_tokens = 16000;          // the picker's tool description
    std::size_t rewrite_tokens = 16000;         // the whole-database schema of the rewrite prompt
    std::size_t sql_generation_tokens = 8000;   // the relevant schemas of the SQL prompt
};

// The estimate of how many tokens text takes.
std::size_t estimated_tokens(std::string_view text);

// One table in the forms it can be shown in, richest first.
struct TableForms {
    std::string name;
    std::string full;          // CREATE TABLE with sample rows
    std::string without_rows;  // CREATE TABLE alone
    std::string columns;       // "name(column, column, ...)"
};

struct FittedSchemas {
    std::string text;                // the shown forms joined by the separator
    std::vector<std::string> names;  // the tables shown, in order
    bool complete = false;           // every table, each in full
};

// Shows tables in their order, each in the richest form that still fits the budget, never
// richer than the table before it (full, then without sample rows, then as a column list,
// then as its name alone); stops at the first table whose name no longer fits.
FittedSchemas fit_schemas(const std::vector<TableForms>& tables, std::size_t budget_tokens,
                          std::string_view separator = "\n\n");

}  // namespace veltaai::querygraph
