#pragma once
// Token budgets of the prompts that carry schemas, and fitting a ranked list of tables into
// one. Tokens are estimated from the text as one per four bytes, rounded up: close to what
// the GPT tokenizers give for English and SQL, and never below it for identifiers and JSON.

#include <array>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace veltaai::querygraph {

struct PromptBudgets {
    std::size_t picker_tokens = 16000;         // the picker's whole request: tool, names, question
    std::size_t rewrite_tokens = 16000;        // the whole-database schema of the rewrite prompt
    std::size_t sql_generation_tokens = 8000;  // the relevant schemas of the SQL prompt
};

// The estimate of how many tokens text takes.
std::size_t estimated_tokens(std::string_view text);

// The sentence that opens the tables of a prompt showing only shown of the database's total.
std::string shown_tables_note(std::size_t shown, std::size_t total);

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

// The forms of a table, richest first, as fit_schemas' levels number them.
enum class TableForm { full = 0, without_rows = 1, columns = 2, name = 3 };

// What fitting asks of tables it cannot hold as a list: the form of the table at an index,
// made on demand (the full form, which reads sample rows, is asked only while every table
// before it was shown in full), and the bytes a shown form takes in its prompt, for prompts
// where a table costs more than its text (the picker also lists the name twice, as JSON).
struct LazyTables {
    std::size_t count = 0;
    std::function<std::string(std::size_t index)> name;
    std::function<std::string(std::size_t index, TableForm form)> form;
    std::function<std::size_t(std::size_t index, const std::string& form)> cost;  // empty: the form's size
    // The share of the budget up to which each form may be used, full first. Below 1, the
    // richer forms leave room for more tables to be named at all.
    std::array<double, 4> shares{1, 1, 1, 1};
};

// Shares for a selection from a large database: half the budget at most for full schemas,
// then without rows to 5/8, column lists to 3/4, names to the end.
inline constexpr std::array<double, 4> kSelectionShares{0.5, 0.625, 0.75, 1};

// fit_schemas over tables made on demand; the budget is in bytes of cost, separators included.
FittedSchemas fit_schemas(const LazyTables& tables, std::size_t budget_bytes,
                          std::string_view separator = "\n\n");

// Shows tables in their order, each in the richest form that still fits the budget, never
// richer than the table before it (full, then without sample rows, then as a column list,
// then as its name alone); stops at the first table whose name no longer fits.
FittedSchemas fit_schemas(const std::vector<TableForms>& tables, std::size_t budget_tokens,
                          std::string_view separator = "\n\n");

}  // namespace veltaai::querygraph
