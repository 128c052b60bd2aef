#include "veltaai/sql/odbc.h"

#include "veltaai/core/errors.h"
#include "veltaai/core/text.h"
#include "veltaai/sql/odbc_guard.h"
#include "veltaai/sql/postgres_guard.h"
#include "veltaai/sql/transaction.h"

#include <sql.h>
#include <sqlext.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <map>

namespace veltaai::sql {

namespace {

// Every diagnostic record of a handle as "message (SQLSTATE xxxxx)", joined by "; ".
std::string diagnostics(SQLSMALLINT type, SQLHANDLE handle) {
    std::string out;
    for (SQLSMALLINT i = 1;; ++i) {
        SQLCHAR state[6] = {0};
        SQLINTEGER native = 0;
        SQLCHAR message[1024] = {0};
        SQLSMALLINT length = 0;
        const SQLRETURN rc = SQLGetDiagRec(type, handle, i, state, &native, message, sizeof message, &length);
        if (!SQL_SUCCEEDED(rc)) break;
        if (!out.empty()) out += "; ";
        out += reinterpret_cast<const char*>(message);
        out += " (SQLSTATE ";
        out += reinterpret_cast<const char*>(state);
        out += ")";
    }
    return out.empty() ? std::string("ODBC call failed") : out;
}

std::string sqlstate(SQLSMALLINT type, SQLHANDLE handle) {
    SQLCHAR state[6] = {0};
    SQLINTEGER native = 0;
    SQLSMALLINT length = 0;
    SQLGetDiagRec(type, handle, 1, state, &native, nullptr, 0, &length);
    return reinterpret_cast<const char*>(state);
}

// An ODBC handle freed when it goes out of scope.
class Handle {
public:
    Handle(SQLSMALLINT type, SQLHANDLE parent) : type_(type) {
        if (!SQL_SUCCEEDED(SQLAllocHandle(type, parent, &handle_))) {
            handle_ = SQL_NULL_HANDLE;
            throw OperationalError("could not allocate an ODBC handle");
        }
    }
    ~Handle() {
        if (handle_ != SQL_NULL_HANDLE) SQLFreeHandle(type_, handle_);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    SQLHANDLE get() const { return handle_; }
    SQLSMALLINT type() const { return type_; }

private:
    SQLSMALLINT type_;
    SQLHANDLE handle_ = SQL_NULL_HANDLE;
};

std::string utf16_to_utf8(const std::vector<SQLWCHAR>& units) {
    std::string out;
    for (std::size_t i = 0; i < units.size(); ++i) {
        std::uint32_t cp = units[i];
        if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
            units[i + 1] < 0xE000) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (units[i + 1] - 0xDC00);
            ++i;
        }
        append_utf8(out, cp);
    }
    return out;
}

bool is_text_type(SQLSMALLINT type) {
    switch (type) {
        case SQL_CHAR:
        case SQL_VARCHAR:
        case SQL_LONGVARCHAR:
        case SQL_WCHAR:
        case SQL_WVARCHAR:
        case SQL_WLONGVARCHAR:
            return true;
        default:
            return false;
    }
}

class OdbcConnection final : public Connection {
public:
    OdbcConnection(const std::string& connection_string, Dialect dialect, std::chrono::seconds login_timeout)
        : dialect_(dialect), env_(SQL_HANDLE_ENV, SQL_NULL_HANDLE) {
        SQLSetEnvAttr(env_.get(), SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
        dbc_ = std::make_unique<Handle>(SQL_HANDLE_DBC, env_.get());
        SQLSetConnectAttr(dbc_->get(), SQL_ATTR_LOGIN_TIMEOUT,
                          reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(login_timeout.count())), 0);
        std::string text = connection_string;
        SQLCHAR out[1024];
        SQLSMALLINT out_length = 0;
        const SQLRETURN rc = SQLDriverConnect(dbc_->get(), nullptr, reinterpret_cast<SQLCHAR*>(text.data()),
                                              static_cast<SQLSMALLINT>(text.size()), out, sizeof out,
                                              &out_length, SQL_DRIVER_NOPROMPT);
        if (!SQL_SUCCEEDED(rc)) {
            const std::string message = diagnostics(SQL_HANDLE_DBC, dbc_->get());
            dbc_.reset();
            throw OperationalError(message);
        }
        connected_ = true;
        SQLCHAR quote[8] = {0};
        SQLSMALLINT quote_length = 0;
        if (SQL_SUCCEEDED(
                SQLGetInfo(dbc_->get(), SQL_IDENTIFIER_QUOTE_CHAR, quote, sizeof quote, &quote_length)) &&
            quote[0] != ' ' && quote[0] != 0) {
            quote_ = static_cast<char>(quote[0]);
        }
        // The guard follows the engine the driver talks to, whatever dialect the caller named.
        SQLCHAR dbms[256] = {0};
        SQLSMALLINT dbms_length = 0;
        if (SQL_SUCCEEDED(SQLGetInfo(dbc_->get(), SQL_DBMS_NAME, dbms, sizeof dbms, &dbms_length))) {
            engine_ = odbc_engine(reinterpret_cast<const char*>(dbms));
        }
    }

    ~OdbcConnection() override {
        if (connected_) {
            if (in_transaction_) SQLEndTran(SQL_HANDLE_DBC, dbc_->get(), SQL_ROLLBACK);
            SQLDisconnect(dbc_->get());
        }
    }

    Dialect dialect() const override { return dialect_; }

    Result execute(std::string_view sql, const std::vector<Cell>& params) override {
        Handle stmt(SQL_HANDLE_STMT, dbc_->get());
        return run(stmt, sql, params);
    }

    void begin() override {
        set_autocommit(false);
        in_transaction_ = true;
    }
    void commit() override { end(SQL_COMMIT); }
    void rollback() override { end(SQL_ROLLBACK); }

    Result run_read_only(std::string_view sql, std::chrono::milliseconds time_limit) override {
        check_odbc_statement(sql, engine_);
        return guarded(sql, time_limit, 0);
    }

    void stream_read_only(std::string_view sql, std::chrono::milliseconds time_limit,
                          RowSink& sink) override {
        // psqlODBC reads a whole result into memory before the first row reaches us: queries
        // are read through a cursor of the read-only transaction instead, a batch at a time.
        if (engine_ == OdbcEngine::postgresql && check_postgres_statement(sql) == PostgresStatement::query) {
            stream_through_cursor(sql, time_limit, sink);
            return;
        }
        check_odbc_statement(sql, engine_);
        in_guarded_frame(time_limit, 0, [&](const Handle& stmt) {
            execute_text(stmt, sql);
            SQLSMALLINT columns = 0;
            check(stmt, SQLNumResultCols(stmt.get(), &columns));
            if (columns == 0) return;
            const std::vector<SQLSMALLINT> types =
                describe(stmt, columns, [&](std::vector<std::string> names) { sink.columns(names); });
            while (true) {
                const SQLRETURN rc = SQLFetch(stmt.get());
                if (rc == SQL_NO_DATA) break;
                check(stmt, rc);
                Row row;
                row.reserve(types.size());
                for (SQLSMALLINT c = 1; c <= columns; ++c)
                    row.push_back(cell(stmt, c, types[static_cast<std::size_t>(c - 1)]));
                if (!sink.row(std::move(row))) {
                    // Stops the statement on the server; the rollback follows.
                    SQLCancel(stmt.get());
                    break;
                }
            }
        });
    }

    void stream_through_cursor(std::string_view sql, std::chrono::milliseconds time_limit, RowSink& sink) {
        const auto deadline = std::chrono::steady_clock::now() + time_limit;
        in_guarded_frame(time_limit, 0, [&](const Handle& declare) {
            // The text was read by PostgreSQL's parser as one query: after "FOR " it is read the same.
            execute_text(declare, "DECLARE veltaai_rows NO SCROLL CURSOR FOR " + std::string(sql));
            bool announced = false;
            std::vector<SQLSMALLINT> types;
            while (true) {
                if (std::chrono::steady_clock::now() > deadline) {
                    throw DatabaseError("canceling statement due to statement timeout (the time limit of " +
                                        std::to_string(time_limit.count()) +
                                        " ms passed while rows were read)");
                }
                Handle fetch(SQL_HANDLE_STMT, dbc_->get());
                execute_text(fetch, "FETCH FORWARD " + std::to_string(kCursorBatch) + " FROM veltaai_rows");
                SQLSMALLINT columns = 0;
                check(fetch, SQLNumResultCols(fetch.get(), &columns));
                if (!announced) {
                    types = describe(fetch, columns,
                                     [&](std::vector<std::string> names) { sink.columns(names); });
                    announced = true;
                }
                int got = 0;
                while (true) {
                    const SQLRETURN rc = SQLFetch(fetch.get());
                    if (rc == SQL_NO_DATA) break;
                    check(fetch, rc);
                    ++got;
                    Row row;
                    row.reserve(types.size());
                    for (SQLSMALLINT c = 1; c <= columns; ++c) {
                        row.push_back(cell(fetch, c, types[static_cast<std::size_t>(c - 1)]));
                    }
                    if (!sink.row(std::move(row))) return;  // the rollback closes the cursor
                }
                if (got < kCursorBatch) return;
            }
        });
    }

    void set_untrusted_role(const std::string& role) override {
        if (engine_ != OdbcEngine::postgresql) Connection::set_untrusted_role(role);
        if (!role.empty() &&
            execute("SELECT 1 FROM pg_catalog.pg_roles WHERE rolname = ?", {role}).rows.empty()) {
            throw ValueError("role \"" + role + "\" does not exist on this PostgreSQL server");
        }
        untrusted_role_ = role;
    }

    std::vector<std::string> elevated_privileges() override {
        if (engine_ == OdbcEngine::postgresql) {
            const Result r = execute(postgres_privileges_query("?"), {untrusted_role_});
            return postgres_privilege_phrases(r, untrusted_role_);
        }
        if (engine_ != OdbcEngine::mssql) return {};
        static constexpr std::array<std::pair<const char*, const char*>, 9> kChecks = {{
            {"IS_SRVROLEMEMBER('sysadmin')",
             "sysadmin: every database, server file (xp_cmdshell, OPENROWSET) and session"},
            {"IS_SRVROLEMEMBER('serveradmin')",
             "serveradmin: changes server configuration and shuts the server down"},
            {"IS_SRVROLEMEMBER('securityadmin')", "securityadmin: grants and revokes logins and permissions"},
            {"IS_SRVROLEMEMBER('processadmin')", "processadmin: ends other sessions (KILL)"},
            {"IS_SRVROLEMEMBER('bulkadmin')", "bulkadmin: reads server files (BULK INSERT, OPENROWSET BULK)"},
            {"IS_SRVROLEMEMBER('diskadmin')", "diskadmin: manages disk files"},
            {"IS_SRVROLEMEMBER('dbcreator')", "dbcreator: creates, changes and drops databases"},
            {"HAS_PERMS_BY_NAME(NULL, NULL, 'CONTROL SERVER')", "CONTROL SERVER: everything sysadmin can do"},
            {"IS_MEMBER('db_owner')", "db_owner: changes every object of the database"},
        }};
        std::string query = "SELECT ";
        for (std::size_t i = 0; i < kChecks.size(); ++i)
            query += (i ? ", " : "") + std::string(kChecks[i].first);
        const Result r = execute(query, {});
        std::vector<std::string> out;
        if (r.rows.empty()) return out;
        for (std::size_t i = 0; i < kChecks.size() && i < r.rows[0].size(); ++i) {
            if (r.rows[0][i] == Cell(std::int64_t{1}) || r.rows[0][i] == Cell(true))
                out.emplace_back(kChecks[i].second);
        }
        return out;
    }

    std::vector<std::string> table_names() override {
        std::vector<std::string> names;
        for (const auto& [schema, name] : catalogue_tables()) names.push_back(name);
        return names;
    }

    std::vector<TableInfo> describe_tables() override {
        const auto listed = catalogue_tables();
        std::vector<std::string> names;
        for (const auto& [schema, name] : listed) names.push_back(name);
        std::map<std::string, std::size_t> index;
        std::vector<TableInfo> tables = empty_tables(names, index);
        const std::string schema = listed.empty() ? std::string() : listed.front().first;
        {
            Handle stmt(SQL_HANDLE_STMT, dbc_->get());
            check(stmt, SQLColumns(stmt.get(), nullptr, 0, schema_arg(schema), schema_length(schema),
                                   sql_text("%"), SQL_NTS, sql_text("%"), SQL_NTS));
            for (const Row& row : fetch(stmt).rows) {
                const auto it = index.find(text_of(row[2]));
                if (it == index.end()) continue;
                std::string type = text_of(row[5]);
                const bool sized =
                    type.find('(') == std::string::npos && !is_null(row[6]) &&
                    (type.find("char") != std::string::npos || type.find("CHAR") != std::string::npos ||
                     type.find("binary") != std::string::npos || type.find("BINARY") != std::string::npos ||
                     type == "numeric" || type == "NUMERIC" || type == "decimal" || type == "DECIMAL");
                if (sized) {
                    type += "(" + text_of(row[6]);
                    if ((type.rfind("numeric", 0) == 0 || type.rfind("NUMERIC", 0) == 0 ||
                         type.rfind("decimal", 0) == 0 || type.rfind("DECIMAL", 0) == 0) &&
                        !is_null(row[8])) {
                        type += ", " + text_of(row[8]);
                    }
                    type += ")";
                }
                const bool not_null = !is_null(row[10]) && text_of(row[10]) == "0";
                tables[it->second].columns.push_back({text_of(row[3]), type, not_null});
            }
        }
        for (TableInfo& table : tables) add_keys(schema, table);
        return tables;
    }

    Result sample_rows(const std::string& table, int limit, std::chrono::milliseconds time_limit) override {
        return guarded("SELECT * FROM " + quote_identifier(table), time_limit, limit);
    }

    std::string quote_identifier(std::string_view name) const override {
        std::string out(1, quote_);
        const char close = quote_ == '[' ? ']' : quote_;
        for (const char c : name) {
            if (c == close) out += close;
            out += c;
        }
        return out + close;
    }

private:
    static constexpr int kCursorBatch = 500;

    static SQLCHAR* sql_text(const char* text) { return reinterpret_cast<SQLCHAR*>(const_cast<char*>(text)); }
    static SQLCHAR* schema_arg(const std::string& schema) {
        return schema.empty() ? nullptr : reinterpret_cast<SQLCHAR*>(const_cast<char*>(schema.c_str()));
    }
    static SQLSMALLINT schema_length(const std::string& schema) { return schema.empty() ? 0 : SQL_NTS; }

    void check(const Handle& handle, SQLRETURN rc) {
        if (SQL_SUCCEEDED(rc) || rc == SQL_NO_DATA) return;
        const std::string state = sqlstate(handle.type(), handle.get());
        const std::string message = diagnostics(handle.type(), handle.get());
        if (state.rfind("08", 0) == 0) throw OperationalError(message);
        throw DatabaseError(message);
    }

    void set_autocommit(bool on) {
        check(*dbc_, SQLSetConnectAttr(
                         dbc_->get(), SQL_ATTR_AUTOCOMMIT,
                         reinterpret_cast<SQLPOINTER>(on ? SQL_AUTOCOMMIT_ON : SQL_AUTOCOMMIT_OFF), 0));
    }

    void end(SQLSMALLINT completion) {
        const SQLRETURN rc = SQLEndTran(SQL_HANDLE_DBC, dbc_->get(), completion);
        in_transaction_ = false;
        check(*dbc_, rc);
        set_autocommit(true);
    }

    Result guarded(std::string_view statement, std::chrono::milliseconds time_limit, int max_rows) {
        Result result;
        in_guarded_frame(time_limit, max_rows, [&](const Handle& stmt) {
            execute_text(stmt, statement);
            result = fetch(stmt, max_rows);
        });
        return result;
    }

    // Runs work on a statement inside a transaction that is always rolled back, under the time
    // limit. psqlODBC ignores SQL_ATTR_ACCESS_MODE, so on PostgreSQL the transaction is made
    // read-only in SQL; the attribute stays for drivers that honour it.
    template <typename Work>
    void in_guarded_frame(std::chrono::milliseconds time_limit, int max_rows, Work&& work) {
        SQLSetConnectAttr(dbc_->get(), SQL_ATTR_ACCESS_MODE, reinterpret_cast<SQLPOINTER>(SQL_MODE_READ_ONLY),
                          0);
        Transaction guarded([this] { begin(); },
                            [this] {
                                rollback();
                                after_guarded();
                            },
                            [this] { abandon_guarded(); });
        if (engine_ == OdbcEngine::postgresql) {
            execute("SET TRANSACTION READ ONLY", {});
            execute(
                "SET LOCAL statement_timeout = " + std::to_string(std::max<long long>(1, time_limit.count())),
                {});
            execute("SET LOCAL standard_conforming_strings = on", {});
            if (!untrusted_role_.empty()) execute("SET LOCAL ROLE " + quote_identifier(untrusted_role_), {});
        }
        {
            Handle stmt(SQL_HANDLE_STMT, dbc_->get());
            const auto seconds =
                static_cast<SQLULEN>(std::max<long long>(1, (time_limit.count() + 999) / 1000));
            SQLSetStmtAttr(stmt.get(), SQL_ATTR_QUERY_TIMEOUT, reinterpret_cast<SQLPOINTER>(seconds), 0);
            // The text runs as it was checked: no rewriting of {fn ...} escapes by the driver.
            SQLSetStmtAttr(stmt.get(), SQL_ATTR_NOSCAN, reinterpret_cast<SQLPOINTER>(SQL_NOSCAN_ON), 0);
            if (max_rows > 0) {
                SQLSetStmtAttr(stmt.get(), SQL_ATTR_MAX_ROWS,
                               reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(max_rows)), 0);
            }
            work(stmt);
        }
        guarded.finish();
    }

    // A guarded run left by an error: rolled back at the driver level, whatever state the
    // statement left the connection in.
    void abandon_guarded() {
        if (in_transaction_) {
            SQLEndTran(SQL_HANDLE_DBC, dbc_->get(), SQL_ROLLBACK);
            in_transaction_ = false;
            SQLSetConnectAttr(dbc_->get(), SQL_ATTR_AUTOCOMMIT,
                              reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON), 0);
        }
        after_guarded();
    }

    // What a rollback leaves behind: the access mode, and on PostgreSQL session advisory locks.
    void after_guarded() {
        SQLSetConnectAttr(dbc_->get(), SQL_ATTR_ACCESS_MODE,
                          reinterpret_cast<SQLPOINTER>(SQL_MODE_READ_WRITE), 0);
        if (engine_ == OdbcEngine::postgresql) execute("SELECT pg_catalog.pg_advisory_unlock_all()", {});
    }

    void execute_text(const Handle& stmt, std::string_view sql) {
        std::string text(sql);
        check(stmt, SQLExecDirect(stmt.get(), reinterpret_cast<SQLCHAR*>(text.data()),
                                  static_cast<SQLINTEGER>(text.size())));
    }

    // The result's column types, its names handed to announce first.
    template <typename Announce>
    std::vector<SQLSMALLINT> describe(const Handle& stmt, SQLSMALLINT columns, Announce&& announce) {
        std::vector<SQLSMALLINT> types(static_cast<std::size_t>(columns));
        std::vector<std::string> names;
        for (SQLSMALLINT c = 1; c <= columns; ++c) {
            SQLCHAR name[512] = {0};
            SQLSMALLINT name_length = 0, type = 0, digits = 0, nullable = 0;
            SQLULEN size = 0;
            check(stmt, SQLDescribeCol(stmt.get(), c, name, sizeof name, &name_length, &type, &size, &digits,
                                       &nullable));
            names.emplace_back(reinterpret_cast<const char*>(name));
            types[static_cast<std::size_t>(c - 1)] = type;
        }
        announce(std::move(names));
        return types;
    }

    Result run(const Handle& stmt, std::string_view sql, const std::vector<Cell>& params, int max_rows = 0) {
        std::vector<std::string> storage(params.size());
        std::vector<SQLLEN> indicators(params.size());
        for (std::size_t i = 0; i < params.size(); ++i) {
            const Cell& p = params[i];
            const auto at = static_cast<SQLUSMALLINT>(i + 1);
            if (is_null(p)) {
                indicators[i] = SQL_NULL_DATA;
                check(stmt, SQLBindParameter(stmt.get(), at, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR, 1, 0,
                                             nullptr, 0, &indicators[i]));
                continue;
            }
            const bool binary = std::holds_alternative<Bytes>(p);
            storage[i] = binary ? std::get<Bytes>(p).data : display_text(p);
            if (const auto* b = std::get_if<bool>(&p)) storage[i] = *b ? "1" : "0";
            indicators[i] = static_cast<SQLLEN>(storage[i].size());
            const SQLULEN size = std::max<SQLULEN>(1, storage[i].size());
            check(stmt, SQLBindParameter(stmt.get(), at, SQL_PARAM_INPUT, binary ? SQL_C_BINARY : SQL_C_CHAR,
                                         binary ? SQL_VARBINARY : SQL_VARCHAR, size, 0, storage[i].data(),
                                         static_cast<SQLLEN>(storage[i].size()), &indicators[i]));
        }
        std::string text(sql);
        check(stmt, SQLExecDirect(stmt.get(), reinterpret_cast<SQLCHAR*>(text.data()),
                                  static_cast<SQLINTEGER>(text.size())));
        return fetch(stmt, max_rows);
    }

    Result fetch(const Handle& stmt, int max_rows = 0) {
        Result out;
        SQLSMALLINT columns = 0;
        check(stmt, SQLNumResultCols(stmt.get(), &columns));
        if (columns == 0) {
            SQLLEN count = -1;
            if (SQL_SUCCEEDED(SQLRowCount(stmt.get(), &count))) out.affected_rows = count;
            return out;
        }
        out.returns_rows = true;
        const std::vector<SQLSMALLINT> types =
            describe(stmt, columns, [&](std::vector<std::string> names) { out.columns = std::move(names); });
        while (max_rows <= 0 || static_cast<int>(out.rows.size()) < max_rows) {
            const SQLRETURN rc = SQLFetch(stmt.get());
            if (rc == SQL_NO_DATA) break;
            check(stmt, rc);
            Row row;
            row.reserve(static_cast<std::size_t>(columns));
            for (SQLSMALLINT c = 1; c <= columns; ++c)
                row.push_back(cell(stmt, c, types[static_cast<std::size_t>(c - 1)]));
            out.rows.push_back(std::move(row));
        }
        return out;
    }

    Cell cell(const Handle& stmt, SQLUSMALLINT column, SQLSMALLINT type) {
        SQLLEN indicator = 0;
        switch (type) {
            case SQL_BIT: {
                unsigned char value = 0;
                check(stmt, SQLGetData(stmt.get(), column, SQL_C_BIT, &value, sizeof value, &indicator));
                if (indicator == SQL_NULL_DATA) return {};
                return value != 0;
            }
            case SQL_TINYINT:
            case SQL_SMALLINT:
            case SQL_INTEGER:
            case SQL_BIGINT: {
                SQLBIGINT value = 0;
                check(stmt, SQLGetData(stmt.get(), column, SQL_C_SBIGINT, &value, sizeof value, &indicator));
                if (indicator == SQL_NULL_DATA) return {};
                return static_cast<std::int64_t>(value);
            }
            case SQL_REAL:
            case SQL_FLOAT:
            case SQL_DOUBLE: {
                double value = 0;
                check(stmt, SQLGetData(stmt.get(), column, SQL_C_DOUBLE, &value, sizeof value, &indicator));
                if (indicator == SQL_NULL_DATA) return {};
                return value;
            }
            case SQL_TYPE_DATE: {
                SQL_DATE_STRUCT d{};
                check(stmt, SQLGetData(stmt.get(), column, SQL_C_TYPE_DATE, &d, sizeof d, &indicator));
                if (indicator == SQL_NULL_DATA) return {};
                return Date{d.year, d.month, d.day};
            }
            case SQL_TYPE_TIME: {
                SQL_TIME_STRUCT t{};
                check(stmt, SQLGetData(stmt.get(), column, SQL_C_TYPE_TIME, &t, sizeof t, &indicator));
                if (indicator == SQL_NULL_DATA) return {};
                return Time{t.hour, t.minute, t.second, 0, std::nullopt};
            }
            case SQL_TYPE_TIMESTAMP: {
                SQL_TIMESTAMP_STRUCT ts{};
                check(stmt, SQLGetData(stmt.get(), column, SQL_C_TYPE_TIMESTAMP, &ts, sizeof ts, &indicator));
                if (indicator == SQL_NULL_DATA) return {};
                return Timestamp{
                    {ts.year, ts.month, ts.day},
                    {ts.hour, ts.minute, ts.second, static_cast<int>(ts.fraction / 1000), std::nullopt}};
            }
            case SQL_BINARY:
            case SQL_VARBINARY:
            case SQL_LONGVARBINARY: {
                std::string data;
                if (!read_chunks(stmt, column, SQL_C_BINARY, data)) return {};
                return Bytes{std::move(data)};
            }
            default:
                break;
        }
        if (is_text_type(type) && wide_text_) {
            Cell wide;
            if (read_wide(stmt, column, wide)) return wide;
        }
        std::string text;
        if (!read_chunks(stmt, column, SQL_C_CHAR, text)) return {};
        if (type == SQL_DECIMAL || type == SQL_NUMERIC) return Decimal{std::move(text)};
        return text;
    }

    // Reads a column in pieces as long as the driver has more; false for null.
    bool read_chunks(const Handle& stmt, SQLUSMALLINT column, SQLSMALLINT c_type, std::string& out) {
        char buffer[4096];
        const std::size_t terminator = c_type == SQL_C_CHAR ? 1 : 0;
        while (true) {
            SQLLEN indicator = 0;
            const SQLRETURN rc = SQLGetData(stmt.get(), column, c_type, buffer, sizeof buffer, &indicator);
            if (rc == SQL_NO_DATA) return true;
            check(stmt, rc);
            if (indicator == SQL_NULL_DATA) return false;
            const std::size_t room = sizeof buffer - terminator;
            const std::size_t got = (indicator == SQL_NO_TOTAL || static_cast<std::size_t>(indicator) > room)
                                        ? room
                                        : static_cast<std::size_t>(indicator);
            out.append(buffer, got);
            if (rc == SQL_SUCCESS) return true;
        }
    }

    // Text as UTF-16 from the driver, so that no locale stands between the server and UTF-8.
    // False, with wide text turned off for this connection, when the driver cannot deliver it.
    bool read_wide(const Handle& stmt, SQLUSMALLINT column, Cell& out) {
        std::vector<SQLWCHAR> units;
        SQLWCHAR buffer[2048];
        while (true) {
            SQLLEN indicator = 0;
            const SQLRETURN rc =
                SQLGetData(stmt.get(), column, SQL_C_WCHAR, buffer, sizeof buffer, &indicator);
            if (rc == SQL_NO_DATA) break;
            if (!SQL_SUCCEEDED(rc)) {
                if (units.empty() && sqlstate(SQL_HANDLE_STMT, stmt.get()) == "HY003") {
                    wide_text_ = false;
                    return false;
                }
                check(stmt, rc);
            }
            if (indicator == SQL_NULL_DATA) {
                out = std::monostate{};
                return true;
            }
            const std::size_t room = sizeof buffer / sizeof(SQLWCHAR) - 1;
            const std::size_t got =
                (indicator == SQL_NO_TOTAL || static_cast<std::size_t>(indicator) / sizeof(SQLWCHAR) > room)
                    ? room
                    : static_cast<std::size_t>(indicator) / sizeof(SQLWCHAR);
            units.insert(units.end(), buffer, buffer + got);
            if (rc == SQL_SUCCESS) break;
        }
        out = utf16_to_utf8(units);
        return true;
    }

    // The schema the connection works in: SQL Server's, PostgreSQL's, or none for drivers
    // without schemas.
    std::string default_schema() {
        for (const char* probe : {"SELECT SCHEMA_NAME()", "SELECT current_schema()"}) {
            try {
                const Result r = execute(probe, {});
                if (!r.rows.empty() && !r.rows[0].empty() && !is_null(r.rows[0][0]))
                    return text_of(r.rows[0][0]);
            } catch (const DatabaseError&) {
                // Not this kind of server.
            }
        }
        return {};
    }

    std::vector<std::pair<std::string, std::string>> catalogue_tables() {
        if (!schema_) schema_ = default_schema();
        Handle stmt(SQL_HANDLE_STMT, dbc_->get());
        check(stmt, SQLTables(stmt.get(), nullptr, 0, schema_arg(*schema_), schema_length(*schema_),
                              sql_text("%"), SQL_NTS, sql_text("TABLE,VIEW"), SQL_NTS));
        std::vector<std::pair<std::string, std::string>> tables;
        for (const Row& row : fetch(stmt).rows) {
            tables.emplace_back(is_null(row[1]) ? std::string() : text_of(row[1]), text_of(row[2]));
        }
        return tables;
    }

    void add_keys(const std::string& schema, TableInfo& table) {
        {
            Handle stmt(SQL_HANDLE_STMT, dbc_->get());
            if (SQL_SUCCEEDED(SQLPrimaryKeys(stmt.get(), nullptr, 0, schema_arg(schema),
                                             schema_length(schema),
                                             reinterpret_cast<SQLCHAR*>(table.name.data()), SQL_NTS))) {
                std::vector<std::pair<std::int64_t, std::string>> keys;
                for (const Row& row : fetch(stmt).rows) {
                    const auto* position = std::get_if<std::int64_t>(&row[4]);
                    keys.emplace_back(position ? *position : 0, quote_identifier(text_of(row[3])));
                }
                std::sort(keys.begin(), keys.end());
                std::string columns;
                for (const auto& [position, name] : keys) columns += (columns.empty() ? "" : ", ") + name;
                if (!columns.empty()) table.constraints.push_back("PRIMARY KEY (" + columns + ")");
            }
        }
        Handle stmt(SQL_HANDLE_STMT, dbc_->get());
        if (!SQL_SUCCEEDED(SQLForeignKeys(stmt.get(), nullptr, 0, nullptr, 0, nullptr, 0, nullptr, 0,
                                          schema_arg(schema), schema_length(schema),
                                          reinterpret_cast<SQLCHAR*>(table.name.data()), SQL_NTS))) {
            return;
        }
        // Columns of one key share its name (or, without names, run from KEY_SEQ 1 upwards).
        std::string key, from, to, referenced;
        for (const Row& row : fetch(stmt).rows) {
            const std::string name = row.size() > 11 && !is_null(row[11]) ? text_of(row[11]) : std::string();
            const std::string sequence = text_of(row[8]);
            if (from.empty() || (name.empty() ? sequence == "1" : name != key)) {
                if (!from.empty())
                    table.constraints.push_back("FOREIGN KEY (" + from + ") REFERENCES " + referenced + " (" +
                                                to + ")");
                key = name;
                from.clear();
                to.clear();
                referenced = quote_identifier(text_of(row[2]));
            }
            from += (from.empty() ? "" : ", ") + quote_identifier(text_of(row[7]));
            to += (to.empty() ? "" : ", ") + quote_identifier(text_of(row[3]));
        }
        if (!from.empty())
            table.constraints.push_back("FOREIGN KEY (" + from + ") REFERENCES " + referenced + " (" + to +
                                        ")");
    }

    Dialect dialect_;
    OdbcEngine engine_ = OdbcEngine::unknown;
    std::string untrusted_role_;
    Handle env_;
    std::unique_ptr<Handle> dbc_;
    bool connected_ = false;
    bool in_transaction_ = false;
    bool wide_text_ = true;
    char quote_ = '"';
    std::optional<std::string> schema_;
};

}  // namespace

std::unique_ptr<Connection> connect_odbc(const std::string& connection_string, Dialect dialect,
                                         std::chrono::seconds login_timeout) {
    return std::make_unique<OdbcConnection>(connection_string, dialect, login_timeout);
}

std::string odbc_attribute_value(std::string_view value) {
    if (value.find_first_of(";{}") == std::string_view::npos) return std::string(value);
    std::string out = "{";
    for (const char c : value) {
        if (c == '}') out += '}';
        out += c;
    }
    return out + "}";
}

}  // namespace veltaai::sql
