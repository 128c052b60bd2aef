#include "veltaai/sql/mysql.h"

#include "veltaai/core/errors.h"
#include "veltaai/core/value.h"

#include <mysql.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <map>
#include <mutex>

namespace veltaai::sql {

namespace {

constexpr unsigned kBinaryCharset = 63;

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
    return Interval::from_microseconds(0, sign * (h * 3'600'000'000LL + m * 60'000'000LL + std::llround(s * 1e6)));
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
        case MYSQL_TYPE_NEWDECIMAL: return Decimal{std::string(text)};
        case MYSQL_TYPE_FLOAT:
        case MYSQL_TYPE_DOUBLE: {
            double value = 0;
            const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
            if (ec == std::errc() && end == text.data() + text.size()) return value;
            break;
        }
        case MYSQL_TYPE_BIT:
        case MYSQL_TYPE_GEOMETRY: return Bytes{std::string(text)};
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
        default: break;
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
        const std::string statement(read_only_statement(sql, Dialect::mysql));
        ensure_open();
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.3f", std::max<double>(0.001, time_limit.count() / 1000.0));
        // The session flag also stops DDL, which would otherwise commit the transaction implicitly.
        query(mariadb_ ? std::string("SET SESSION tx_read_only = 1, SESSION max_statement_time = ") + seconds
                       : "SET SESSION transaction_read_only = 1, SESSION max_execution_time = " +
                             std::to_string(std::max<long long>(1, time_limit.count())));
        try {
            query("START TRANSACTION READ ONLY");
            Result result = query(statement);
            restore();
            return result;
        } catch (...) {
            try {
                restore();
            } catch (const Error&) {
                // The connection is gone; it is reopened before the next statement.
            }
            throw;
        }
    }

    std::vector<std::string> table_names() override { return first_column(kTablesQuery); }

    std::vector<TableInfo> describe_tables() override {
        std::map<std::string, std::size_t> index;
        std::vector<TableInfo> tables = empty_tables(table_names(), index);
        for (const Row& row : execute(kColumnsQuery, {}).rows) {
            const auto it = index.find(text_of(row[0]));
            if (it == index.end()) continue;
            tables[it->second].columns.push_back({text_of(row[1]), text_of(row[2]), text_of(row[3]) == "NO"});
        }
        // Key columns arrive ordered by table, constraint and position; each run is one clause.
        std::string table, constraint, columns, referenced_table, referenced_columns;
        auto flush = [&] {
            const auto it = index.find(table);
            if (constraint.empty() || it == index.end()) return;
            std::string clause;
            if (constraint == "PRIMARY") clause = "PRIMARY KEY (" + columns + ")";
            else if (!referenced_table.empty())
                clause = "FOREIGN KEY (" + columns + ") REFERENCES " + quote_identifier(referenced_table) + " (" +
                         referenced_columns + ")";
            else clause = "UNIQUE (" + columns + ")";
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

    std::string quote_identifier(std::string_view name) const override { return quoted_identifier(name, '`'); }

private:
    static constexpr const char* kTablesQuery =
        "SELECT TABLE_NAME FROM information_schema.TABLES WHERE TABLE_SCHEMA = DATABASE() ORDER BY TABLE_NAME";
    static constexpr const char* kColumnsQuery =
        "SELECT TABLE_NAME, COLUMN_NAME, COLUMN_TYPE, IS_NULLABLE FROM information_schema.COLUMNS "
        "WHERE TABLE_SCHEMA = DATABASE() ORDER BY TABLE_NAME, ORDINAL_POSITION";
    static constexpr const char* kKeysQuery =
        "SELECT k.TABLE_NAME, k.CONSTRAINT_NAME, k.COLUMN_NAME, k.REFERENCED_TABLE_NAME, k.REFERENCED_COLUMN_NAME "
        "FROM information_schema.KEY_COLUMN_USAGE k WHERE k.TABLE_SCHEMA = DATABASE() "
        "ORDER BY k.TABLE_NAME, k.CONSTRAINT_NAME <> 'PRIMARY', k.CONSTRAINT_NAME, k.ORDINAL_POSITION";

    void open() {
        library_init();
        conn_.reset(mysql_init(nullptr));
        if (!conn_) throw OperationalError("out of memory while connecting to MySQL");
        const unsigned timeout = static_cast<unsigned>(std::max<long long>(1, options_.connect_timeout.count()));
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
    }

    // A lost connection is reopened once before the next statement.
    void ensure_open() {
        if (!broken_ && conn_) return;
        open();
    }

    void restore() {
        query("ROLLBACK");
        query(mariadb_ ? "SET SESSION tx_read_only = 0, SESSION max_statement_time = 0"
                       : "SET SESSION transaction_read_only = 0, SESSION max_execution_time = 0");
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

    Result query(const std::string& sql) {
        if (mysql_real_query(conn_.get(), sql.data(), sql.size()) != 0) fail();
        Result out;
        ResultPtr res(mysql_store_result(conn_.get()));
        if (!res) {
            if (mysql_field_count(conn_.get()) != 0) fail();
            out.affected_rows = static_cast<std::int64_t>(mysql_affected_rows(conn_.get()));
            return out;
        }
        out.returns_rows = true;
        const unsigned columns = mysql_num_fields(res.get());
        const MYSQL_FIELD* fields = mysql_fetch_fields(res.get());
        for (unsigned c = 0; c < columns; ++c) out.columns.emplace_back(fields[c].name, fields[c].name_length);
        out.rows.reserve(mysql_num_rows(res.get()));
        while (MYSQL_ROW row = mysql_fetch_row(res.get())) {
            const unsigned long* lengths = mysql_fetch_lengths(res.get());
            Row cells;
            cells.reserve(columns);
            for (unsigned c = 0; c < columns; ++c) {
                if (!row[c]) cells.emplace_back();
                else cells.push_back(decode(fields[c], row[c], lengths[c]));
            }
            out.rows.push_back(std::move(cells));
        }
        return out;
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
};

}  // namespace

std::unique_ptr<Connection> connect_mysql(const ConnectOptions& options) {
    return std::make_unique<MysqlConnection>(options);
}

}  // namespace veltaai::sql
