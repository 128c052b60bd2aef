#include "veltaai/sql/sqlite.h"

#include "veltaai/core/errors.h"
#include "veltaai/sql/transaction.h"

#include <sqlite3.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <map>

namespace veltaai::sql {

namespace {

struct DbDeleter {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
struct StmtDeleter {
    void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};
using StmtPtr = std::unique_ptr<sqlite3_stmt, StmtDeleter>;

using Clock = std::chrono::steady_clock;

// Called by SQLite every few thousand instructions; a non-zero answer interrupts the statement.
int past_deadline(void* deadline) {
    return Clock::now() >= *static_cast<Clock::time_point*>(deadline) ? 1 : 0;
}

// Functions untrusted SQL may not call: host pointers and tokenizer registration (FTS3), native
// code (extensions), file access of the shell's extensions, FTS writes, the error log, and
// parsers of raw R-tree nodes.
constexpr std::array<std::string_view, 17> kDeniedFunctions = {"fts3_tokenizer", "load_extension",
                                                               "fts5",           "sqlite_log",
                                                               "optimize",       "rtreenode",
                                                               "rtreedepth",     "readfile",
                                                               "writefile",      "edit",
                                                               "zipfile",        "zipfile_cds",
                                                               "sqlar_compress", "sqlar_uncompress",
                                                               "fsdir",          "icu_load_collation",
                                                               "sqlite_dbpage"};
// PRAGMAs that only report, allowed as the table-valued functions SELECT can read
// (pragma_table_info('t')); the reader refuses PRAGMA statements in the model's text. Their
// argument, if any, names a table or index.
constexpr std::array<std::string_view, 13> kReportingPragmas = {
    "table_info",       "table_xinfo",   "index_list",  "index_info",      "index_xinfo",
    "foreign_key_list", "function_list", "module_list", "compile_options", "collation_list",
    "pragma_list",      "page_size",     "page_count"};
// Virtual tables untrusted SQL may not read, should the library be built with them.
constexpr std::array<std::string_view, 3> kDeniedTables = {"sqlite_dbpage", "zipfile", "fsdir"};

// Bounds for untrusted SQL; the handle's own statements get the previous values back.
struct LimitBound {
    int id;
    int value;
};
constexpr std::array<LimitBound, 6> kUntrustedLimits = {{
    {SQLITE_LIMIT_SQL_LENGTH, 1'000'000},
    {SQLITE_LIMIT_LENGTH, 10'000'000},
    {SQLITE_LIMIT_EXPR_DEPTH, 200},
    {SQLITE_LIMIT_COMPOUND_SELECT, 100},
    {SQLITE_LIMIT_LIKE_PATTERN_LENGTH, 10'000},
    {SQLITE_LIMIT_ATTACHED, 0},
}};

bool equals_ignoring_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

template <std::size_t N>
bool listed(const std::array<std::string_view, N>& list, const char* name) {
    if (!name) return false;
    return std::any_of(list.begin(), list.end(),
                       [&](std::string_view entry) { return equals_ignoring_case(entry, name); });
}

// What the authorizer refused first, for the error text.
struct Refusal {
    std::string what;
};

// Untrusted SQL may read tables and call plain functions; everything else is denied while the
// statement is prepared: writes, schema changes, ATTACH, PRAGMA, transaction control.
int authorize(void* context, int action, const char* a, const char* b, const char*, const char*) {
    auto* refusal = static_cast<Refusal*>(context);
    auto deny = [&](std::string what) {
        if (refusal->what.empty()) refusal->what = std::move(what);
        return SQLITE_DENY;
    };
    switch (action) {
        case SQLITE_SELECT:
        case SQLITE_RECURSIVE:
            return SQLITE_OK;
        case SQLITE_READ:
            if (listed(kDeniedTables, a)) return deny(std::string("reading ") + a);
            return SQLITE_OK;
        case SQLITE_FUNCTION:
            if (listed(kDeniedFunctions, b)) return deny(std::string("the function ") + b + "()");
            return SQLITE_OK;
        case SQLITE_PRAGMA:
            if (listed(kReportingPragmas, a)) return SQLITE_OK;
            return deny(std::string("PRAGMA ") + (a ? a : ""));
        case SQLITE_ATTACH:
            return deny("ATTACH");
        case SQLITE_DETACH:
            return deny("DETACH");
        case SQLITE_TRANSACTION:
        case SQLITE_SAVEPOINT:
            return deny("transaction control");
        case SQLITE_INSERT:
        case SQLITE_UPDATE:
        case SQLITE_DELETE:
            return deny(std::string("writing to ") + (a ? a : "a table"));
        default:
            return deny("changing the schema or the connection");
    }
}

constexpr std::string_view kRefusedPrefix = "Refused: ";
constexpr std::string_view kRefusedSuffix =
    " is not allowed here; only one query that reads data may run (not authorized).";

class SqliteConnection final : public Connection {
public:
    SqliteConnection(const std::string& path, const SqliteOptions& options) {
        int flags = options.read_only ? SQLITE_OPEN_READONLY
                                      : (SQLITE_OPEN_READWRITE | (options.create ? SQLITE_OPEN_CREATE : 0));
        flags |= SQLITE_OPEN_FULLMUTEX;
        sqlite3* raw = nullptr;
        const int rc = sqlite3_open_v2(path.c_str(), &raw, flags, nullptr);
        db_.reset(raw);
        if (rc != SQLITE_OK) {
            const std::string message = raw ? sqlite3_errmsg(raw) : sqlite3_errstr(rc);
            throw OperationalError(message + ": " + path);
        }
        sqlite3_extended_result_codes(db_.get(), 1);
        sqlite3_busy_timeout(db_.get(), 5000);
        // Off for every statement: the two-argument fts3_tokenizer() (it registers a C function
        // pointer taken from SQL), extension loading, schema tricks that can corrupt the file
        // (defensive), and functions with side effects inside views and triggers.
        sqlite3_db_config(db_.get(), SQLITE_DBCONFIG_ENABLE_FTS3_TOKENIZER, 0, nullptr);
        sqlite3_db_config(db_.get(), SQLITE_DBCONFIG_ENABLE_LOAD_EXTENSION, 0, nullptr);
#ifdef SQLITE_DBCONFIG_DEFENSIVE
        sqlite3_db_config(db_.get(), SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
#endif
#ifdef SQLITE_DBCONFIG_TRUSTED_SCHEMA
        sqlite3_db_config(db_.get(), SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
#endif
    }

    Dialect dialect() const override {
        return Dialect::sqlite;
    }

    Result execute(std::string_view sql, const std::vector<Cell>& params) override {
        Result result;
        std::string_view rest = sql;
        bool first = true;
        // Like the command-line shell, every statement of the text runs; the last one's rows return.
        while (true) {
            const char* tail = nullptr;
            sqlite3_stmt* raw = nullptr;
            if (sqlite3_prepare_v2(db_.get(), rest.data(), static_cast<int>(rest.size()), &raw, &tail) !=
                SQLITE_OK) {
                fail();
            }
            StmtPtr stmt(raw);
            rest = rest.substr(static_cast<std::size_t>(tail - rest.data()));
            if (!stmt) {
                if (rest.empty() || !first) break;
                continue;
            }
            if (first) bind(stmt.get(), params);
            first = false;
            result = step_all(stmt.get());
            if (rest.empty()) break;
        }
        return result;
    }

    void begin() override {
        execute("BEGIN", {});
    }
    void commit() override {
        execute("COMMIT", {});
    }
    void rollback() override {
        execute("ROLLBACK", {});
    }

    Result run_read_only(std::string_view sql, std::chrono::milliseconds time_limit) override {
        RowCollector collector;
        stream_read_only(sql, time_limit, collector);
        if (!collector.result.returns_rows) collector.result.affected_rows = 0;
        return std::move(collector.result);
    }

    void stream_read_only(std::string_view sql, std::chrono::milliseconds time_limit,
                          RowSink& sink) override {
        const std::string_view statement = read_only_statement(sql, Dialect::sqlite);
        // The handle's own limits, put back when the run ends however it ends.
        std::array<int, kUntrustedLimits.size()> saved{};
        for (std::size_t i = 0; i < kUntrustedLimits.size(); ++i)
            saved[i] = sqlite3_limit(db_.get(), kUntrustedLimits[i].id, -1);
        // query_only is re-asserted on every run: a previous statement cannot have lifted it.
        Transaction guarded(
            [this] {
                execute("PRAGMA query_only = 1", {});
                execute("BEGIN", {});
            },
            [this, &saved] { finish(saved); }, [this, &saved] { finish(saved); });
        Clock::time_point deadline = Clock::now() + time_limit;
        sqlite3_progress_handler(db_.get(), 1000, past_deadline, &deadline);
        Refusal refusal;
        for (const auto& limit : kUntrustedLimits) sqlite3_limit(db_.get(), limit.id, limit.value);
        sqlite3_set_authorizer(db_.get(), authorize, &refusal);
        StmtPtr stmt;
        int rc = prepare(statement, stmt);
        if (rc != SQLITE_OK && !refusal.what.empty()) {
            // Virtual tables (FTS) run statements of their own when a connection first uses
            // them. Connecting them without the authorizer (the statement is only compiled,
            // never stepped) and compiling again leaves only the model's own statement.
            sqlite3_set_authorizer(db_.get(), nullptr, nullptr);
            StmtPtr warm;
            prepare(statement, warm);
            warm.reset();
            refusal.what.clear();
            sqlite3_set_authorizer(db_.get(), authorize, &refusal);
            rc = prepare(statement, stmt);
        }
        if (rc != SQLITE_OK) {
            if (!refusal.what.empty()) {
                throw DatabaseError(std::string(kRefusedPrefix) + refusal.what + std::string(kRefusedSuffix));
            }
            fail();
        }
        if (stmt) step_into(stmt.get(), sink);
        stmt.reset();
        guarded.finish();
    }

    std::vector<std::string> table_names() override {
        return first_column(kTablesQuery);
    }

    std::vector<TableInfo> describe_tables() override {
        std::map<std::string, std::size_t> index;
        std::vector<TableInfo> tables = empty_tables(table_names(), index);
        std::map<std::string, std::vector<std::pair<std::int64_t, std::string>>> primary_keys;
        for (const Row& row : execute(kColumnsQuery, {}).rows) {
            const std::string table = std::get<std::string>(row[0]);
            const auto it = index.find(table);
            if (it == index.end()) continue;
            const std::string name = std::get<std::string>(row[1]);
            const std::string type = is_null(row[2]) ? std::string() : std::get<std::string>(row[2]);
            tables[it->second].columns.push_back({name, type, std::get<std::int64_t>(row[3]) != 0});
            if (const std::int64_t pk = std::get<std::int64_t>(row[4]); pk > 0) {
                primary_keys[table].emplace_back(pk, quote_identifier(name));
            }
        }
        for (auto& [table, keys] : primary_keys) {
            std::sort(keys.begin(), keys.end());
            std::string columns;
            for (const auto& [position, name] : keys) columns += (columns.empty() ? "" : ", ") + name;
            tables[index[table]].constraints.push_back("PRIMARY KEY (" + columns + ")");
        }
        // Rows of one foreign key share its id and come in column order.
        std::string table;
        std::int64_t id = -1;
        std::string from, to, referenced;
        auto flush = [&] {
            if (id >= 0) {
                tables[index[table]].constraints.push_back("FOREIGN KEY (" + from + ") REFERENCES " +
                                                           quote_identifier(referenced) + " (" + to + ")");
            }
        };
        for (const Row& row : execute(kForeignKeysQuery, {}).rows) {
            const std::string row_table = std::get<std::string>(row[0]);
            if (!index.count(row_table)) continue;
            if (row_table != table || std::get<std::int64_t>(row[1]) != id) {
                flush();
                table = row_table;
                id = std::get<std::int64_t>(row[1]);
                from.clear();
                to.clear();
                referenced = std::get<std::string>(row[2]);
            }
            from += (from.empty() ? "" : ", ") + quote_identifier(std::get<std::string>(row[3]));
            if (!is_null(row[4]))
                to += (to.empty() ? "" : ", ") + quote_identifier(std::get<std::string>(row[4]));
        }
        flush();
        return tables;
    }

private:
    static constexpr const char* kTablesQuery =
        "SELECT name FROM sqlite_schema WHERE type IN ('table', 'view') AND name NOT LIKE 'sqlite\\_%' "
        "ESCAPE '\\' "
        "ORDER BY name";
    static constexpr const char* kColumnsQuery =
        "SELECT m.name, p.name, p.type, p.\"notnull\", p.pk FROM sqlite_schema m JOIN "
        "pragma_table_info(m.name) p "
        "WHERE m.type IN ('table', 'view') ORDER BY m.name, p.cid";
    static constexpr const char* kForeignKeysQuery =
        "SELECT m.name, f.id, f.\"table\", f.\"from\", f.\"to\" FROM sqlite_schema m "
        "JOIN pragma_foreign_key_list(m.name) f WHERE m.type = 'table' ORDER BY m.name, f.id, f.seq";

    [[noreturn]] void fail() {
        throw DatabaseError(sqlite3_errmsg(db_.get()));
    }

    int prepare(std::string_view sql, StmtPtr& stmt) {
        sqlite3_stmt* raw = nullptr;
        const int rc = sqlite3_prepare_v2(db_.get(), sql.data(), static_cast<int>(sql.size()), &raw, nullptr);
        stmt.reset(raw);
        return rc;
    }

    // Ends a guarded run: no authorizer or progress handler, the handle's own limits back,
    // nothing kept, writes allowed again.
    void finish(const std::array<int, kUntrustedLimits.size()>& saved) {
        sqlite3_set_authorizer(db_.get(), nullptr, nullptr);
        for (std::size_t i = 0; i < kUntrustedLimits.size(); ++i)
            sqlite3_limit(db_.get(), kUntrustedLimits[i].id, saved[i]);
        sqlite3_progress_handler(db_.get(), 0, nullptr, nullptr);
        if (!sqlite3_get_autocommit(db_.get()))
            sqlite3_exec(db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
        sqlite3_exec(db_.get(), "PRAGMA query_only = 0", nullptr, nullptr, nullptr);
    }

    void bind(sqlite3_stmt* stmt, const std::vector<Cell>& params) {
        if (static_cast<int>(params.size()) != sqlite3_bind_parameter_count(stmt)) {
            throw DatabaseError("the statement takes " + std::to_string(sqlite3_bind_parameter_count(stmt)) +
                                " parameters, " + std::to_string(params.size()) + " given");
        }
        for (std::size_t i = 0; i < params.size(); ++i) {
            const int at = static_cast<int>(i) + 1;
            const Cell& p = params[i];
            int rc = SQLITE_OK;
            if (is_null(p))
                rc = sqlite3_bind_null(stmt, at);
            else if (const auto* b = std::get_if<bool>(&p))
                rc = sqlite3_bind_int64(stmt, at, *b ? 1 : 0);
            else if (const auto* n = std::get_if<std::int64_t>(&p))
                rc = sqlite3_bind_int64(stmt, at, *n);
            else if (const auto* f = std::get_if<double>(&p))
                rc = sqlite3_bind_double(stmt, at, *f);
            else if (const auto* bytes = std::get_if<Bytes>(&p))
                rc = sqlite3_bind_blob64(stmt, at, bytes->data.data(), bytes->data.size(), SQLITE_TRANSIENT);
            else {
                const std::string text = display_text(p);
                rc = sqlite3_bind_text64(stmt, at, text.data(), text.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
            }
            if (rc != SQLITE_OK) fail();
        }
    }

    Row read_row(sqlite3_stmt* stmt, int columns) {
        Row row;
        row.reserve(static_cast<std::size_t>(columns));
        for (int c = 0; c < columns; ++c) {
            switch (sqlite3_column_type(stmt, c)) {
                case SQLITE_INTEGER:
                    row.emplace_back(static_cast<std::int64_t>(sqlite3_column_int64(stmt, c)));
                    break;
                case SQLITE_FLOAT:
                    row.emplace_back(sqlite3_column_double(stmt, c));
                    break;
                case SQLITE_TEXT: {
                    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, c));
                    row.emplace_back(
                        std::string(text, static_cast<std::size_t>(sqlite3_column_bytes(stmt, c))));
                    break;
                }
                case SQLITE_BLOB: {
                    const auto* blob = static_cast<const char*>(sqlite3_column_blob(stmt, c));
                    row.emplace_back(Bytes{std::string(
                        blob ? blob : "", static_cast<std::size_t>(sqlite3_column_bytes(stmt, c)))});
                    break;
                }
                default:
                    row.emplace_back();
                    break;
            }
        }
        return row;
    }

    // Steps stmt, handing each row to sink; a sink that says stop ends the statement there.
    void step_into(sqlite3_stmt* stmt, RowSink& sink) {
        const int columns = sqlite3_column_count(stmt);
        if (columns > 0) {
            std::vector<std::string> names;
            for (int c = 0; c < columns; ++c) names.emplace_back(sqlite3_column_name(stmt, c));
            sink.columns(names);
        }
        while (true) {
            const int rc = sqlite3_step(stmt);
            if (rc == SQLITE_DONE) return;
            if (rc != SQLITE_ROW) fail();
            if (!sink.row(read_row(stmt, columns))) return;
        }
    }

    Result step_all(sqlite3_stmt* stmt) {
        Result out;
        const int columns = sqlite3_column_count(stmt);
        out.returns_rows = columns > 0;
        for (int c = 0; c < columns; ++c) out.columns.emplace_back(sqlite3_column_name(stmt, c));
        while (true) {
            const int rc = sqlite3_step(stmt);
            if (rc == SQLITE_DONE) break;
            if (rc != SQLITE_ROW) fail();
            out.rows.push_back(read_row(stmt, columns));
        }
        if (!out.returns_rows) out.affected_rows = sqlite3_changes64(db_.get());
        return out;
    }

    std::unique_ptr<sqlite3, DbDeleter> db_;
};

}  // namespace

std::unique_ptr<Connection> connect_sqlite(const std::string& path, const SqliteOptions& options) {
    return std::make_unique<SqliteConnection>(path, options);
}

}  // namespace veltaai::sql
