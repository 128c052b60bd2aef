#pragma once
// Ranking of a database's tables for a question, for databases too large to show the model
// whole: in-memory SQLite FTS5 indexes over each table's name split into words, and over its
// column names, its comments and the names of the tables its foreign keys join, queried with
// bm25(). Each word of a question brings its own best tables, in turns.
// Words are stemmed (Porter), so "artists" finds Artist and "invoices" finds InvoiceLine.

#include "veltaai/sql/connection.h"

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace veltaai::querygraph {

// What the index knows of one table.
struct TableEntry {
    std::string name;
    std::vector<std::string> columns;
    std::string comment;                  // the engine's table and column comments, if any
    std::vector<std::string> neighbours;  // tables joined to it by a foreign key, either way
};

// The index entries of described tables: their columns, and as neighbours the tables their
// foreign keys reference and the tables whose foreign keys reference them.
std::vector<TableEntry> table_entries(const std::vector<sql::TableInfo>& tables);

// The words of an identifier, lower-cased: snake_case, kebab-case, CamelCase and runs of digits
// split apart. "InvoiceLine_2024" gives invoice, line, 2024; "HTTPServer" gives http, server.
std::vector<std::string> identifier_words(std::string_view name);

class TableRanking {
public:
    explicit TableRanking(const std::vector<TableEntry>& tables);
    ~TableRanking();
    TableRanking(const TableRanking&) = delete;
    TableRanking& operator=(const TableRanking&) = delete;

    std::size_t size() const { return names_.size(); }

    // The names of the tables that share a word with question, best first, at most limit of
    // them (0: every match). Tables that share no word are not listed. Safe to call from
    // several threads.
    std::vector<std::string> rank(std::string_view question, std::size_t limit = 0) const;

private:
    struct Database;
    std::unique_ptr<Database> db_;
    std::vector<std::string> names_;  // by rowid
    mutable std::mutex mutex_;
};

}  // namespace veltaai::querygraph
