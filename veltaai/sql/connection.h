#pragma once
// One open connection to a database, whatever the engine: statements with bound parameters,
// transactions, a guarded read-only run for untrusted SQL, and the catalogue of the default
// schema. Drivers (postgres.h, mysql.h, odbc.h, sqlite.h) open one; closing happens when the
// object is destroyed.

#include "veltaai/sql/cell.h"
#include "veltaai/sql/statement.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace veltaai::sql {

// A row read by column name, in the column order of its result.
class Record {
public:
    Record() = default;
    Record(std::vector<std::string> names, Row cells) : names_(std::move(names)), cells_(std::move(cells)) {}

    std::size_t size() const { return cells_.size(); }
    const std::vector<std::string>& names() const { return names_; }
    const Row& cells() const { return cells_; }
    bool contains(std::string_view name) const;
    // The cell of the column called name (the first, if several share it); KeyError when none.
    const Cell& at(std::string_view name) const;
    const Cell& operator[](std::string_view name) const { return at(name); }

private:
    std::vector<std::string> names_;
    Row cells_;
};

// What one statement gave back.
struct Result {
    std::vector<std::string> columns;
    std::vector<Row> rows;
    bool returns_rows = false;        // the statement yields rows (possibly none)
    std::int64_t affected_rows = -1;  // rows changed, when the engine says

    // Index of the column called name; KeyError when none.
    std::size_t column(std::string_view name) const;
    std::vector<Record> records() const;
};

struct Column {
    std::string name;
    std::string type;  // as the engine spells it: "character varying(40)", "varchar(40)", "INTEGER"
    bool not_null = false;
    std::string comment = {};  // the engine's column comment, if it keeps one
};

// A table or view of the default schema, as much as a CREATE TABLE text needs.
struct TableInfo {
    std::string name;
    std::vector<Column> columns;
    // Table constraints as DDL clauses: "PRIMARY KEY (id)", "FOREIGN KEY (a) REFERENCES t (b)".
    std::vector<std::string> constraints;
    std::string comment = {};  // the engine's table comment (COMMENT ON, COMMENT=), if it keeps one
};

// Receives the rows of a read-only run one at a time, as the driver reads them.
class RowSink {
public:
    virtual ~RowSink() = default;
    // The result's column names, once, before any row.
    virtual void columns(const std::vector<std::string>& names) = 0;
    // One row. Returning false ends the read: the driver stops fetching and cancels the rest
    // of the statement on the server.
    virtual bool row(Row&& row) = 0;
};

// A sink that keeps every row: what run_read_only gives from a stream.
struct RowCollector final : RowSink {
    Result result;
    void columns(const std::vector<std::string>& names) override {
        result.columns = names;
        result.returns_rows = true;
    }
    bool row(Row&& row) override {
        result.rows.push_back(std::move(row));
        return true;
    }
};

// Where and how to connect. Unset fields take the engine's defaults.
struct ConnectOptions {
    std::string host;
    int port = 0;
    std::string user;
    std::string password;
    std::string database;
    std::chrono::seconds connect_timeout{10};
    // Further engine settings passed on as they are (libpq keywords, ...).
    std::vector<std::pair<std::string, std::string>> extra;
};

class Connection {
public:
    virtual ~Connection() = default;
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    virtual Dialect dialect() const = 0;

    // Runs sql as given, with params bound to its placeholders ($1 on PostgreSQL, ? elsewhere),
    // and returns every row. Outside a transaction each statement commits by itself.
    // Throws DatabaseError with the engine's message, OperationalError when the connection fails.
    virtual Result execute(std::string_view sql, const std::vector<Cell>& params = {}) = 0;

    virtual void begin() = 0;
    virtual void commit() = 0;
    virtual void rollback() = 0;

    // Runs one statement of untrusted SQL so that it cannot change data: the text is checked by
    // read_only_statement, runs inside a read-only transaction (where the engine has one) under
    // the time limit, and everything is rolled back afterwards.
    virtual Result run_read_only(std::string_view sql, std::chrono::milliseconds time_limit) = 0;

    // As run_read_only, but hands the rows to sink as they arrive instead of holding them all,
    // so the host's memory stays bounded whatever the statement returns. The default collects
    // through run_read_only; drivers that read results as a stream override it.
    virtual void stream_read_only(std::string_view sql, std::chrono::milliseconds time_limit, RowSink& sink);

    // What the connected role could reach from inside a read-only transaction beyond the
    // database's own data (superuser, server files, programs, other sessions), one phrase each,
    // so the handle can warn that a read-only role is the safe set-up. Empty when it has none.
    virtual std::vector<std::string> elevated_privileges() { return {}; }

    // Makes untrusted SQL run under role instead of the connecting one (PostgreSQL: SET LOCAL
    // ROLE inside the read-only transaction); empty goes back to the connecting role. The
    // default refuses with a ValueError: the engine has no such switch.
    virtual void set_untrusted_role(const std::string& role);

    // Tables and views of the default schema, in the engine's order.
    virtual std::vector<std::string> table_names() = 0;
    // Columns and key constraints of every table and view of the default schema.
    virtual std::vector<TableInfo> describe_tables() = 0;
    // Up to limit rows of a table of the default schema, read under the time limit. The
    // default reads "SELECT * FROM <table> LIMIT <limit>" through run_read_only.
    virtual Result sample_rows(const std::string& table, int limit, std::chrono::milliseconds time_limit);

    // name as a quoted identifier of this engine, quote characters inside doubled. The default
    // uses the standard double quote.
    virtual std::string quote_identifier(std::string_view name) const { return quoted_identifier(name, '"'); }

protected:
    Connection() = default;

    // name between two quote characters, any quote character inside doubled.
    static std::string quoted_identifier(std::string_view name, char quote);
    // A catalogue cell as text: bytes as they stand, anything else in its display form.
    static std::string text_of(const Cell& cell);
    // The first column of query's rows, as texts.
    std::vector<std::string> first_column(std::string_view query);
    // One entry per name, columns and constraints still empty, and each name's position.
    static std::vector<TableInfo> empty_tables(const std::vector<std::string>& names,
                                               std::map<std::string, std::size_t>& index);
};

}  // namespace veltaai::sql
