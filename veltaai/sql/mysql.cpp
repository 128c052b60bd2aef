#include "veltaai/sql/mysql.h"

#include "veltaai/core/errors.h"
#include "veltaai/core/value.h"
#include "veltaai/sql/mysql_guard.h"

#include <mysql.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <map>
#include <mutex>
#include <sstream>

namespace veltaai::sql {

namespace {

constexpr unsigned kBinaryCharset = 63;

using Clock = std::chrono::steady_clock;

// MariaDB cuts some statements at max_statement_time without an error (BENCHMARK returns 0);
// the session's counter of cut statements tells.
constexpr std::string_view kTimedOut =
    "Query execution was interrupted (max_statement_time exceeded): the statement ran into its time limit "
    "and "
    "its result would be incomplete.";

// Global privileges that reach beyond the database's own data, and what each lets SQL do.
struct Privilege {
    std::string_view name;
    std::string_view phrase;
};
constexpr std::array<Privilege, 17> kElevatedPrivileges = {{
    {"ALL PRIVILEGES",
     "ALL PRIVILEGES on *.*: server files, other sessions, server settings and every database"},
    {"SUPER", "SUPER: server administration, other sessions, global settings"},
    {"FILE", "FILE: reading and writing server files (LOAD_FILE, SELECT ... INTO OUTFILE, LOAD DATA)"},
    {"PROCESS", "PROCESS: the statements of every session"},
    {"SHUTDOWN", "SHUTDOWN: stopping the server"},
    {"CONNECTION ADMIN", "CONNECTION ADMIN: ending other sessions"},
    {"RELOAD", "RELOAD: flushing server caches and logs"},
    {"CREATE USER", "CREATE USER: creating and changing accounts"},
    {"SELECT", "SELECT on *.*: every database, the mysql system tables with password hashes included"},
    {"BINLOG ADMIN", "BINLOG ADMIN: the server's binary logs"},
    {"READ_ONLY ADMIN", "READ_ONLY ADMIN: writing while the server is read-only"},
    {"SET USER", "SET USER: running code as other accounts"},
    {"FEDERATED ADMIN", "FEDERATED ADMIN: connections to other servers"},
    // MySQL 8 spells its dynamic privileges with underscores.
    {"CONNECTION_ADMIN", "CONNECTION_ADMIN: ending other sessions"},
    {"SYSTEM_VARIABLES_ADMIN", "SYSTEM_VARIABLES_ADMIN: global settings"},
    {"SYSTEM_USER", "SYSTEM_USER: acting on other accounts' sessions"},
    {"SET_USER_ID", "SET_USER_ID: running code as other accounts"},
}};

struct ResultDeleter {
    void operator()(MYSQL_RES* r) const { mysql_free_result(r); }
};
using ResultPtr = std::unique_ptr<MYSQL_RES, ResultDeleter>;

struct ConnDeleter {
    void operator()(MYSQL* m) const { mysql_close(m); }
};

bool is_connection_error(unsigned code) {
    return code == 2002 || code == 2003 || code == 2005 || code == 2006 || code == 2013 || code == 2055;
}

std::optional<std::int64_t> to_integer(std::string_view text) {
    std::int64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

// TIME values are lengths of time (-838:59:59 to 838:59:59), as Python's clients read them.
std::optional<Interval> decode_time(std::string_view text) {
    int sign = 1;
    if (!text.empty() && text.front() == '-') {
        sign = -1;
        text.remove_prefix(1);
    }
    long long h = 0;
    int m = 0;
    double s = 0;
    const std::string copy(text);
    if (std::sscanf(copy.c_str(), "%lld:%d:%lf", &h, &m, &s) != 3) return std::nullopt;
    return Interval::from_microseconds(
        0, sign * (h * 3'600'000'000LL + m * 60'000'000LL + std::llround(s * 1e6)));
}

Cell decode(const MYSQL_FIELD& field, const char* data, unsigned long length) {
    const std::string_view text(data, length);
    switch (field.type) {
        case MYSQL_TYPE_TINY:
        case MYSQL_TYPE_SHORT:
        case MYSQL_TYPE_LONG:
        case MYSQL_TYPE_INT24:
        case MYSQL_TYPE_LONGLONG:
        case MYSQL_TYPE_YEAR:
            if (auto i = to_integer(text)) return *i;
            return Decimal{std::string(text)};
        case MYSQL_TYPE_DECIMAL:
        case MYSQL_TYPE_NEWDECIMAL:
            return Decimal{std::string(text)};
        case MYSQL_TYPE_FLOAT:
        case MYSQL_TYPE_DOUBLE: {
            double value = 0;
            const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
            if (ec == std::errc() && end == text.data() + text.size()) return value;
            break;
        }
        case MYSQL_TYPE_BIT:
        case MYSQL_TYPE_GEOMETRY:
            return Bytes{std::string(text)};
        case MYSQL_TYPE_DATE:
        case MYSQL_TYPE_NEWDATE:
            if (auto d = parse_date(text)) return *d;
            if (text.rfind("0000-00-00", 0) == 0) return std::monostate{};
            break;
        case MYSQL_TYPE_DATETIME:
        case MYSQL_TYPE_TIMESTAMP:
            if (auto ts = parse_timestamp(text, false)) return *ts;
            if (text.rfind("0000-00-00", 0) == 0) return std::monostate{};
            break;
        case MYSQL_TYPE_TIME:
            if (auto span = decode_time(text)) return *span;
            break;
        case MYSQL_TYPE_TINY_BLOB:
        case MYSQL_TYPE_MEDIUM_BLOB:
        case MYSQL_TYPE_LONG_BLOB:
        case MYSQL_TYPE_BLOB:
        case MYSQL_TYPE_VAR_STRING:
        case MYSQL_TYPE_STRING:
        case MYSQL_TYPE_VARCHAR:
            if (field.charsetnr == kBinaryCharset) return Bytes{std::string(text)};
            break;
        default:
            break;
    }
    return std::string(text);
}

void library_init() {
    static std::once_flag once;
    std::call_once(once, [] { mysql_library_init(0, nullptr, nullptr); });
}

class MysqlConnection final : public Connection {
public:
    explicit MysqlConnection(const ConnectOptions& options) : options_(options) { open(); }

    Dialect dialect() const override { return Dialect::mysql; }

    Result execute(std::string_view sql, const std::vector<Cell>& params) override {
        ensure_open();
        return query(params.empty() ? std::string(sql) : bind(sql, params));
    }

    void begin() override { execute("START TRANSACTION", {}); }
    void commit() override { execute("COMMIT", {}); }
    void rollback() override { execute("ROLLBACK", {}); }

    Result run_read_only(std::string_view sql, std::chrono::milliseconds time_limit) override {
        RowCollector collector;
        stream_read_only(sql, time_limit, collector);
        return std::move(collector.result);
    }

    // Rows come over mysql_use_result, one at a time. A sink that stops early ends the session
    // (the server aborts the statement when its socket closes); the next call reconnects.
    void stream_read_only(std::string_view sql, std::chrono::milliseconds time_limit,
                          RowSink& sink) override {
        const std::string statement(read_only_statement(sql, Dialect::mysql));
        ensure_open();
        if (!udfs_.empty()) check_mysql_query(statement, udfs_);
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.3f", std::max<double>(0.001, time_limit.count() / 1000.0));
        // The session flag also stops DDL, which would otherwise commit the transaction
        // implicitly; the sql_mode makes the server read quotes as the guard did.
        query(mariadb_ ? std::string("SET SESSION tx_read_only = 1, SESSION max_statement_time = ") +
                             seconds + ", SESSION sql_mode = " + std::string(kReaderSqlMode)
                       : "SET SESSION transaction_read_only = 1, SESSION max_execution_time = " +
                             std::to_string(std::max<long long>(1, time_limit.count())) +
                             ", SESSION sql_mode = " + std::string(kReaderSqlMode));
        try {
            query("START TRANSACTION READ ONLY");
            const Clock::time_point start = Clock::now();
            if (!stream(statement, sink)) return;
            // Only a statement that ran for about its whole time limit can have been cut.
            if (mariadb_ && Clock::now() - start >= time_limit / 2 && statements_cut() > 0) {
                throw DatabaseError(std::string(kTimedOut));
            }
            reset_session();
        } catch (...) {
            try {
                reset_session();
            } catch (const Error&) {
                // The connection is gone; it is reopened before the next statement.
            }
            throw;
        }
    }

    std::vector<std::string> elevated_privileges() override {
        ensure_open();
        std::vector<std::string> out;
        for (const std::string& grant : first_column("SHOW GRANTS")) {
            // Global grants read "GRANT <privilege>, <privilege> ON *.* TO ...".
            const std::size_t on = grant.find(" ON *.* TO ");
            if (grant.rfind("GRANT ", 0) != 0 || on == std::string::npos) continue;
            std::stringstream list(grant.substr(6, on - 6));
            std::string privilege;
            while (std::getline(list, privilege, ',')) {
                while (!privilege.empty() && privilege.front() == ' ') privilege.erase(0, 1);
                for (const Privilege& p : kElevatedPrivileges) {
                    if (privilege == p.name) out.emplace_back(p.phrase);
                }
            }
        }
        return out;
    }

    std::vector<std::string> table_names() override { return first_column(kTablesQuery); }

    std::vector<TableInfo> describe_tables() override {
        std::map<std::string, std::size_t> index;
        std::vector<TableInfo> tables = empty_tables(table_names(), index);
        for (const Row& row : execute(kColumnsQuery, {}).rows) {
            const auto it = index.find(text_of(row[0]));
            if (it == index.end()) continue;
            tables[it->second].columns.push_back({text_of(row[1]), text_of(row[2]), text_of(row[3]) == "NO",
                                                  is_null(row[4]) ? std::string() : text_of(row[4])});
        }
        for (const Row& row : execute(kTableCommentsQuery, {}).rows) {
            const auto it = index.find(text_of(row[0]));
            if (it != index.end()) tables[it->second].comment = text_of(row[1]);
        }
        // Key columns arrive ordered by table, constraint and position; each run is one clause.
        std::string table, constraint, columns, referenced_table, referenced_columns;
        auto flush = [&] {
            const auto it = index.find(table);
            if (constraint.empty() || it == index.end()) return;
            std::string clause;
            if (constraint == "PRIMARY")
                clause = "PRIMARY KEY (" + columns + ")";
            else if (!referenced_table.empty())
                clause = "FOREIGN KEY (" + columns + ") REFERENCES " + quote_identifier(referenced_table) +
                         " (" + referenced_columns + ")";
            else
                clause = "UNIQUE (" + columns + ")";
            tables[it->second].constraints.push_back(clause);
        };
        for (const Row& row : execute(kKeysQuery, {}).rows) {
            if (text_of(row[0]) != table || text_of(row[1]) != constraint) {
                flush();
                table = text_of(row[0]);
                constraint = text_of(row[1]);
                columns.clear();
                referenced_columns.clear();
                referenced_table = is_null(row[3]) ? std::string() : text_of(row[3]);
            }
            if (!columns.empty()) columns += ", ";
            columns += quote_identifier(text_of(row[2]));
            if (!is_null(row[4])) {
                if (!referenced_columns.empty()) referenced_columns += ", ";
                referenced_columns += quote_identifier(text_of(row[4]));
            }
        }
        flush();
        return tables;
    }

    std::string quote_identifier(std::string_view name) const override {
        return quoted_identifier(name, '`');
    }

private:
    static constexpr const char* kTablesQuery =
        "SELECT TABLE_NAME FROM information_schema.TABLES WHERE TABLE_SCHEMA = DATABASE() ORDER BY "
        "TABLE_NAME";
    static constexpr const char* kColumnsQuery =
        "SELECT TABLE_NAME, COLUMN_NAME, COLUMN_TYPE, IS_NULLABLE, NULLIF(COLUMN_COMMENT, '') FROM "
        "information_schema.COLUMNS "
        "WHERE TABLE_SCHEMA = DATABASE() ORDER BY TABLE_NAME, ORDINAL_POSITION";
    // Views carry the word VIEW as their comment; it says nothing about them.
    static constexpr const char* kTableCommentsQuery =
        "SELECT TABLE_NAME, TABLE_COMMENT FROM information_schema.TABLES WHERE TABLE_SCHEMA = DATABASE() "
        "AND TABLE_TYPE <> 'VIEW' AND TABLE_COMMENT <> ''";
    static constexpr const char* kKeysQuery =
        "SELECT k.TABLE_NAME, k.CONSTRAINT_NAME, k.COLUMN_NAME, k.REFERENCED_TABLE_NAME, "
        "k.REFERENCED_COLUMN_NAME "
        "FROM information_schema.KEY_COLUMN_USAGE k WHERE k.TABLE_SCHEMA = DATABASE() "
        "ORDER BY k.TABLE_NAME, k.CONSTRAINT_NAME <> 'PRIMARY', k.CONSTRAINT_NAME, k.ORDINAL_POSITION";

    void open() {
        library_init();
        conn_.reset(mysql_init(nullptr));
        if (!conn_) throw OperationalError("out of memory while connecting to MySQL");
        const unsigned timeout =
            static_cast<unsigned>(std::max<long long>(1, options_.connect_timeout.count()));
        mysql_options(conn_.get(), MYSQL_OPT_CONNECT_TIMEOUT, &timeout);
        mysql_options(conn_.get(), MYSQL_SET_CHARSET_NAME, "utf8mb4");
        const char* host = options_.host.empty() ? nullptr : options_.host.c_str();
        const char* database = options_.database.empty() ? nullptr : options_.database.c_str();
        if (!mysql_real_connect(conn_.get(), host, options_.user.c_str(), options_.password.c_str(), database,
                                static_cast<unsigned>(std::max(0, options_.port)), nullptr, 0)) {
            const std::string message = mysql_error(conn_.get());
            conn_.reset();
            throw OperationalError(message);
        }
        const char* info = mysql_get_server_info(conn_.get());
        mariadb_ = info && std::string_view(info).find("MariaDB") != std::string_view::npos;
        broken_ = false;
        // UDFs run native code with no privilege needed to call them; their names are refused in
        // untrusted SQL. Roles that cannot read mysql.func rely on the guard's prefix list.
        udfs_.clear();
        try {
            udfs_ = first_column("SELECT UPPER(name) FROM mysql.func");
        } catch (const DatabaseError&) {
        }
    }

    // A lost connection is reopened once before the next statement.
    void ensure_open() {
        if (!broken_ && conn_) return;
        open();
    }

    // Nothing a guarded run took outlives it: COM_RESET_CONNECTION rolls back, releases user and
    // table locks, clears user variables, temporary tables and prepared statements, and puts
    // the session settings back to the server's (the character set stays).
    void reset_session() {
        if (!conn_ || broken_) return;
        if (mysql_reset_connection(conn_.get()) != 0) {
            // An older server without the command: a new session is as clean.
            conn_.reset();
            broken_ = true;
        }
    }

    // Ends the session in the middle of a result: the socket is shut so nothing more is read.
    void abandon(ResultPtr& res) {
        mariadb_cancel(conn_.get());
        res.reset();
        conn_.reset();
        broken_ = true;
    }

    long long statements_cut() {
        const Result r = query("SHOW SESSION STATUS LIKE 'Max_statement_time_exceeded'");
        if (r.rows.empty()) return 0;
        return std::stoll(text_of(r.rows[0].at(1)));
    }

    // Reads the statement's rows into sink; false when the sink stopped early.
    bool stream(const std::string& sql, RowSink& sink) {
        if (mysql_real_query(conn_.get(), sql.data(), sql.size()) != 0) fail();
        ResultPtr res(mysql_use_result(conn_.get()));
        if (!res) {
            if (mysql_field_count(conn_.get()) != 0) fail();
            return true;
        }
        try {
            const unsigned columns = mysql_num_fields(res.get());
            const MYSQL_FIELD* fields = mysql_fetch_fields(res.get());
            std::vector<std::string> names;
            for (unsigned c = 0; c < columns; ++c) names.emplace_back(fields[c].name, fields[c].name_length);
            sink.columns(names);
            while (MYSQL_ROW row = mysql_fetch_row(res.get())) {
                if (!sink.row(decode_row(res.get(), row, fields, columns))) {
                    abandon(res);
                    return false;
                }
            }
        } catch (...) {
            abandon(res);
            throw;
        }
        if (mysql_errno(conn_.get()) != 0) fail();
        return true;
    }

    [[noreturn]] void fail() {
        const unsigned code = mysql_errno(conn_.get());
        const std::string message = mysql_error(conn_.get());
        if (is_connection_error(code)) {
            broken_ = true;
            throw OperationalError(message);
        }
        throw DatabaseError(message);
    }

    // Runs sql and returns its first row set. Every further result (a CALL gives one per SELECT
    // of the procedure and a final status) is read too, so that the connection stays in step and
    // a COMMIT that follows keeps what the procedure wrote.
    Result query(const std::string& sql) {
        if (mysql_real_query(conn_.get(), sql.data(), sql.size()) != 0) fail();
        Result out;
        bool first = true;
        int more = 0;
        do {
            ResultPtr res(mysql_store_result(conn_.get()));
            if (!res && mysql_field_count(conn_.get()) != 0) fail();
            if (first && !res)
                out.affected_rows = static_cast<std::int64_t>(mysql_affected_rows(conn_.get()));
            if (res && !out.returns_rows) read_rows(res.get(), out);
            first = false;
        } while ((more = mysql_next_result(conn_.get())) == 0);
        if (more > 0) fail();
        return out;
    }

    void read_rows(MYSQL_RES* res, Result& out) {
        out.returns_rows = true;
        const unsigned columns = mysql_num_fields(res);
        const MYSQL_FIELD* fields = mysql_fetch_fields(res);
        for (unsigned c = 0; c < columns; ++c)
            out.columns.emplace_back(fields[c].name, fields[c].name_length);
        out.rows.reserve(mysql_num_rows(res));
        while (MYSQL_ROW row = mysql_fetch_row(res))
            out.rows.push_back(decode_row(res, row, fields, columns));
    }

    // The cells of the row just fetched from res.
    static Row decode_row(MYSQL_RES* res, MYSQL_ROW row, const MYSQL_FIELD* fields, unsigned columns) {
        const unsigned long* lengths = mysql_fetch_lengths(res);
        Row cells;
        cells.reserve(columns);
        for (unsigned c = 0; c < columns; ++c) {
            if (!row[c])
                cells.emplace_back();
            else
                cells.push_back(decode(fields[c], row[c], lengths[c]));
        }
        return cells;
    }

    // Placeholders are filled in by the client, each value escaped as a literal.
    std::string bind(std::string_view sql, const std::vector<Cell>& params) {
        std::string out;
        std::size_t next = 0;
        for (const Segment& s : lex(sql, Dialect::mysql)) {
            for (std::size_t i = s.begin; i < s.end; ++i) {
                if (s.kind != Segment::Kind::code || sql[i] != '?') {
                    out += sql[i];
                    continue;
                }
                if (next >= params.size()) throw DatabaseError("not enough parameters for the statement");
                out += literal(params[next++]);
            }
        }
        if (next != params.size()) throw DatabaseError("more parameters than placeholders in the statement");
        return out;
    }

    std::string literal(const Cell& cell) {
        if (is_null(cell)) return "NULL";
        if (const auto* b = std::get_if<bool>(&cell)) return *b ? "1" : "0";
        if (const auto* i = std::get_if<std::int64_t>(&cell)) return std::to_string(*i);
        if (const auto* d = std::get_if<Decimal>(&cell)) return d->text;
        if (const auto* f = std::get_if<double>(&cell)) return shortest_decimal(*f);
        if (const auto* b = std::get_if<Bytes>(&cell)) {
            static constexpr char kHex[] = "0123456789ABCDEF";
            std::string out = "X'";
            for (const char c : b->data) {
                out += kHex[static_cast<unsigned char>(c) >> 4];
                out += kHex[static_cast<unsigned char>(c) & 15];
            }
            return out + "'";
        }
        const std::string text = display_text(cell);
        std::string escaped(text.size() * 2 + 1, '\0');
        escaped.resize(mysql_real_escape_string(conn_.get(), escaped.data(), text.data(), text.size()));
        return "'" + escaped + "'";
    }

    ConnectOptions options_;
    std::unique_ptr<MYSQL, ConnDeleter> conn_;
    bool mariadb_ = true;
    bool broken_ = false;
    std::vector<std::string> udfs_;
};

}  // namespace

std::unique_ptr<Connection> connect_mysql(const ConnectOptions& options) {
    return std::make_unique<MysqlConnection>(options);
}

}  // namespace veltaai::sql
