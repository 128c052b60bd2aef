#include "veltaai/sql/postgres.h"

#include "veltaai/sql/postgres_guard.h"
#include "veltaai/sql/transaction.h"

#include "veltaai/core/errors.h"
#include "veltaai/core/value.h"

#include <libpq-fe.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <map>
#include <optional>

namespace veltaai::sql {

namespace {

// Type oids of pg_type that decode into something other than text.
enum : Oid {
    kBool = 16,
    kBytea = 17,
    kInt8 = 20,
    kInt2 = 21,
    kInt4 = 23,
    kOid = 26,
    kFloat4 = 700,
    kFloat8 = 701,
    kDate = 1082,
    kTime = 1083,
    kTimestamp = 1114,
    kTimestampTz = 1184,
    kInterval = 1186,
    kTimeTz = 1266,
    kNumeric = 1700,
};

struct ResultDeleter {
    void operator()(PGresult* r) const { PQclear(r); }
};
using ResultPtr = std::unique_ptr<PGresult, ResultDeleter>;

struct ConnDeleter {
    void operator()(PGconn* c) const { PQfinish(c); }
};

std::string trimmed_message(const char* text) {
    std::string message = text ? text : "";
    while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) message.pop_back();
    for (const char* prefix : {"ERROR:  ", "FATAL:  "}) {
        if (message.rfind(prefix, 0) == 0) message.erase(0, std::string_view(prefix).size());
    }
    return message;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::optional<Bytes> decode_bytea(std::string_view text) {
    if (text.size() < 2 || text[0] != '\\' || text[1] != 'x' || text.size() % 2 != 0) return std::nullopt;
    Bytes out;
    out.data.reserve((text.size() - 2) / 2);
    for (std::size_t i = 2; i < text.size(); i += 2) {
        const int hi = hex_value(text[i]);
        const int lo = hex_value(text[i + 1]);
        if (hi < 0 || lo < 0) return std::nullopt;
        out.data += static_cast<char>(hi * 16 + lo);
    }
    return out;
}

std::optional<double> decode_float(std::string_view text) {
    if (text == "NaN") return std::nan("");
    if (text == "Infinity") return HUGE_VAL;
    if (text == "-Infinity") return -HUGE_VAL;
    double value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

// An interval in the "postgres" style: "1 year 2 mons 3 days 04:05:06.5", "-1 days +02:00:00".
// Months count as 30 days and years as 365, as Python's clients do.
std::optional<Interval> decode_interval(std::string_view text) {
    std::int64_t days = 0;
    std::int64_t micros = 0;
    std::size_t pos = 0;
    while (pos < text.size()) {
        while (pos < text.size() && text[pos] == ' ') ++pos;
        if (pos >= text.size()) break;
        const std::size_t token_end = std::min(text.find(' ', pos), text.size());
        const std::string_view token = text.substr(pos, token_end - pos);
        if (token.find(':') != std::string_view::npos) {
            int sign = 1;
            std::string_view clock = token;
            if (clock.front() == '-' || clock.front() == '+') {
                sign = clock.front() == '-' ? -1 : 1;
                clock.remove_prefix(1);
            }
            long long h = 0;
            int m = 0;
            double s = 0;
            const std::string copy(clock);
            if (std::sscanf(copy.c_str(), "%lld:%d:%lf", &h, &m, &s) != 3) return std::nullopt;
            micros += sign * (h * 3'600'000'000LL + m * 60'000'000LL + std::llround(s * 1e6));
            pos = token_end;
            continue;
        }
        long long amount = 0;
        const auto [end, ec] = std::from_chars(token.data(), token.data() + token.size(), amount);
        if (ec != std::errc() || end != token.data() + token.size()) return std::nullopt;
        std::size_t unit_start = token_end;
        while (unit_start < text.size() && text[unit_start] == ' ') ++unit_start;
        const std::size_t unit_end = std::min(text.find(' ', unit_start), text.size());
        const std::string_view unit = text.substr(unit_start, unit_end - unit_start);
        if (unit.rfind("year", 0) == 0)
            days += amount * 365;
        else if (unit.rfind("mon", 0) == 0)
            days += amount * 30;
        else if (unit.rfind("day", 0) == 0)
            days += amount;
        else
            return std::nullopt;
        pos = unit_end;
    }
    return Interval::from_microseconds(days, micros);
}

Cell decode(Oid type, const char* data, int length) {
    const std::string_view text(data, static_cast<std::size_t>(length));
    switch (type) {
        case kBool:
            return text == "t";
        case kInt2:
        case kInt4:
        case kInt8:
        case kOid: {
            std::int64_t value = 0;
            const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
            if (ec == std::errc() && end == text.data() + text.size()) return value;
            return Decimal{std::string(text)};
        }
        case kNumeric:
            return Decimal{std::string(text)};
        case kFloat4:
        case kFloat8:
            if (auto f = decode_float(text)) return *f;
            break;
        case kBytea:
            if (auto b = decode_bytea(text)) return *b;
            break;
        case kDate:
            if (auto d = parse_date(text)) return *d;
            break;
        case kTime:
        case kTimeTz:
            if (auto t = parse_time(text, type == kTimeTz)) return *t;
            break;
        case kTimestamp:
        case kTimestampTz:
            if (auto ts = parse_timestamp(text, type == kTimestampTz)) return *ts;
            break;
        case kInterval:
            if (auto span = decode_interval(text)) return *span;
            break;
        default:
            break;
    }
    return std::string(text);
}

void ignore_notice(void*, const char*) {}

class PostgresConnection final : public Connection {
public:
    explicit PostgresConnection(const ConnectOptions& options) {
        const std::string port = options.port > 0 ? std::to_string(options.port) : std::string();
        const std::string timeout = std::to_string(std::max<long long>(2, options.connect_timeout.count()));
        std::vector<std::string> keys = {"host",
                                         "port",
                                         "user",
                                         "password",
                                         "dbname",
                                         "connect_timeout",
                                         "client_encoding",
                                         "options",
                                         "application_name"};
        std::vector<std::string> values = {
            options.host,     port,    options.user, options.password,
            options.database, timeout, "UTF8",       "-c DateStyle=ISO -c IntervalStyle=postgres",
            "veltaai"};
        for (const auto& [key, value] : options.extra) {
            keys.push_back(key);
            values.push_back(value);
        }
        std::vector<const char*> key_ptrs;
        std::vector<const char*> value_ptrs;
        for (std::size_t i = 0; i < keys.size(); ++i) {
            key_ptrs.push_back(keys[i].c_str());
            value_ptrs.push_back(values[i].c_str());
        }
        key_ptrs.push_back(nullptr);
        value_ptrs.push_back(nullptr);
        conn_.reset(PQconnectdbParams(key_ptrs.data(), value_ptrs.data(), 0));
        if (!conn_) throw OperationalError("out of memory while connecting to PostgreSQL");
        if (PQstatus(conn_.get()) != CONNECTION_OK)
            throw OperationalError(trimmed_message(PQerrorMessage(conn_.get())));
        PQsetNoticeProcessor(conn_.get(), ignore_notice, nullptr);
    }

    Dialect dialect() const override { return Dialect::postgresql; }

    Result execute(std::string_view sql, const std::vector<Cell>& params) override {
        ensure_open();
        const std::string text(sql);
        if (params.empty()) return collect(ResultPtr(PQexec(conn_.get(), text.c_str())));
        std::vector<std::string> storage(params.size());
        std::vector<const char*> values(params.size(), nullptr);
        std::vector<int> lengths(params.size(), 0);
        std::vector<int> formats(params.size(), 0);
        for (std::size_t i = 0; i < params.size(); ++i) {
            const Cell& p = params[i];
            if (is_null(p)) continue;
            if (const auto* b = std::get_if<Bytes>(&p)) {
                storage[i] = b->data;
                formats[i] = 1;
            } else if (const auto* flag = std::get_if<bool>(&p)) {
                storage[i] = *flag ? "t" : "f";
            } else if (const auto* f = std::get_if<double>(&p)) {
                storage[i] = std::isnan(*f)   ? "NaN"
                             : std::isinf(*f) ? (*f < 0 ? "-Infinity" : "Infinity")
                                              : shortest_decimal(*f);
            } else {
                storage[i] = display_text(p);
            }
            values[i] = storage[i].data();
            lengths[i] = static_cast<int>(storage[i].size());
        }
        return collect(ResultPtr(PQexecParams(conn_.get(), text.c_str(), static_cast<int>(params.size()),
                                              nullptr, values.data(), lengths.data(), formats.data(), 0)));
    }

    void begin() override { command("BEGIN"); }
    void commit() override { command("COMMIT"); }
    void rollback() override { command("ROLLBACK"); }

    Result run_read_only(std::string_view sql, std::chrono::milliseconds time_limit) override {
        check_postgres_statement(sql);
        const std::string statement(sql);
        ensure_open();
        Transaction guarded = guarded_transaction(time_limit);
        // The extended protocol takes exactly one statement: a second line of defence.
        Result result = collect(ResultPtr(
            PQexecParams(conn_.get(), statement.c_str(), 0, nullptr, nullptr, nullptr, nullptr, 0)));
        guarded.finish();
        return result;
    }

    void stream_read_only(std::string_view sql, std::chrono::milliseconds time_limit,
                          RowSink& sink) override {
        check_postgres_statement(sql);
        const std::string statement(sql);
        ensure_open();
        Transaction guarded = guarded_transaction(time_limit);
        stream(statement, sink);
        guarded.finish();
    }

    void set_untrusted_role(const std::string& role) override {
        if (!role.empty() &&
            execute("SELECT 1 FROM pg_catalog.pg_roles WHERE rolname = $1", {role}).rows.empty()) {
            throw ValueError("role \"" + role + "\" does not exist on this PostgreSQL server");
        }
        untrusted_role_ = role;
    }

    std::vector<std::string> elevated_privileges() override {
        // The questions concern the role the untrusted SQL runs under.
        return postgres_privilege_phrases(execute(postgres_privileges_query("$1"), {untrusted_role_}),
                                          untrusted_role_);
    }

    std::vector<std::string> table_names() override { return first_column(kTablesQuery); }

    std::vector<TableInfo> describe_tables() override {
        std::map<std::string, std::size_t> index;
        std::vector<TableInfo> tables = empty_tables(table_names(), index);
        for (const Row& row : execute(kColumnsQuery, {}).rows) {
            const auto it = index.find(std::get<std::string>(row[0]));
            if (it == index.end()) continue;
            tables[it->second].columns.push_back(
                {std::get<std::string>(row[1]), std::get<std::string>(row[2]), std::get<bool>(row[3]),
                 is_null(row[4]) ? std::string() : std::get<std::string>(row[4])});
        }
        for (const Row& row : execute(kTableCommentsQuery, {}).rows) {
            const auto it = index.find(std::get<std::string>(row[0]));
            if (it != index.end()) tables[it->second].comment = std::get<std::string>(row[1]);
        }
        for (const Row& row : execute(kConstraintsQuery, {}).rows) {
            const auto it = index.find(std::get<std::string>(row[0]));
            if (it != index.end()) tables[it->second].constraints.push_back(std::get<std::string>(row[1]));
        }
        return tables;
    }

private:
    static constexpr const char* kTablesQuery =
        "SELECT c.relname FROM pg_catalog.pg_class c JOIN pg_catalog.pg_namespace n ON n.oid = "
        "c.relnamespace "
        "WHERE n.nspname = current_schema() AND c.relkind IN ('r', 'p', 'v', 'm', 'f') AND NOT "
        "c.relispartition "
        "ORDER BY c.relname";
    static constexpr const char* kColumnsQuery =
        "SELECT c.relname, a.attname, pg_catalog.format_type(a.atttypid, a.atttypmod), a.attnotnull, "
        "d.description "
        "FROM pg_catalog.pg_attribute a JOIN pg_catalog.pg_class c ON c.oid = a.attrelid "
        // A join rather than col_description(), which looks up each column on its own.
        "LEFT JOIN pg_catalog.pg_description d ON d.objoid = a.attrelid "
        "AND d.classoid = 'pg_catalog.pg_class'::regclass AND d.objsubid = a.attnum "
        "JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace "
        "WHERE n.nspname = current_schema() AND c.relkind IN ('r', 'p', 'v', 'm', 'f') AND a.attnum > 0 "
        "AND NOT a.attisdropped ORDER BY c.relname, a.attnum";
    static constexpr const char* kTableCommentsQuery =
        "SELECT c.relname, d.description FROM pg_catalog.pg_description d JOIN pg_catalog.pg_class c ON "
        "c.oid = d.objoid "
        "JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace WHERE d.classoid = "
        "'pg_catalog.pg_class'::regclass "
        "AND d.objsubid = 0 AND n.nspname = current_schema() AND c.relkind IN ('r', 'p', 'v', 'm', 'f')";
    static constexpr const char* kConstraintsQuery =
        "SELECT c.relname, pg_catalog.pg_get_constraintdef(con.oid) FROM pg_catalog.pg_constraint con "
        "JOIN pg_catalog.pg_class c ON c.oid = con.conrelid JOIN pg_catalog.pg_namespace n ON n.oid = "
        "c.relnamespace "
        "WHERE n.nspname = current_schema() AND con.contype IN ('p', 'u', 'f') "
        "ORDER BY c.relname, con.contype <> 'p', con.contype, con.conname";

    // The frame of every untrusted statement: a read-only transaction under the time limit,
    // with the text read as the guard read it (standard strings) and under the untrusted role.
    Transaction guarded_transaction(std::chrono::milliseconds time_limit) {
        std::string setup = "BEGIN READ ONLY; SET LOCAL statement_timeout = " +
                            std::to_string(std::max<long long>(1, time_limit.count())) +
                            "; SET LOCAL standard_conforming_strings = on";
        if (!untrusted_role_.empty()) setup += "; SET LOCAL ROLE " + quote_identifier(untrusted_role_);
        return Transaction([this, &setup] { command(setup); }, [this] { close_guarded(); },
                           [this] { close_guarded_quietly(); });
    }

    // Rolls back, then drops what a rollback leaves: session-level advisory locks (a function
    // of the database may take one on the query's behalf).
    void close_guarded() {
        for (int attempt = 0;; ++attempt) {
            ResultPtr res(PQexec(conn_.get(), "ROLLBACK"));
            // A cancel sent as the statement ended may land on the ROLLBACK instead; retry once.
            if (res && PQresultStatus(res.get()) == PGRES_COMMAND_OK) break;
            if (attempt > 0 || PQstatus(conn_.get()) != CONNECTION_OK) collect(std::move(res));
        }
        command("SELECT pg_catalog.pg_advisory_unlock_all()");
    }

    void close_guarded_quietly() {
        if (PQstatus(conn_.get()) != CONNECTION_OK) return;
        for (int attempt = 0; attempt < 2; ++attempt) {
            ResultPtr res(PQexec(conn_.get(), "ROLLBACK"));
            if (res && PQresultStatus(res.get()) == PGRES_COMMAND_OK) break;
        }
        ResultPtr(PQexec(conn_.get(), "SELECT pg_catalog.pg_advisory_unlock_all()"));
    }

    // Reads the rows one at a time (libpq's single-row mode). When the sink has enough, the
    // statement is cancelled on the server and what is already on its way is read and dropped.
    void stream(const std::string& statement, RowSink& sink) {
        if (!PQsendQueryParams(conn_.get(), statement.c_str(), 0, nullptr, nullptr, nullptr, nullptr, 0)) {
            throw OperationalError(trimmed_message(PQerrorMessage(conn_.get())));
        }
        PQsetSingleRowMode(conn_.get());
        bool announced = false;
        bool stopped = false;
        std::optional<std::string> error;
        std::vector<Oid> types;
        while (true) {
            ResultPtr res(PQgetResult(conn_.get()));
            if (!res) break;
            const ExecStatusType status = PQresultStatus(res.get());
            if (status == PGRES_FATAL_ERROR || status == PGRES_BAD_RESPONSE ||
                status == PGRES_NONFATAL_ERROR) {
                if (!error) error = trimmed_message(PQresultErrorMessage(res.get()));
                continue;
            }
            if (stopped || (status != PGRES_SINGLE_TUPLE && status != PGRES_TUPLES_OK)) continue;
            if (!announced) {
                std::vector<std::string> names;
                for (int c = 0; c < PQnfields(res.get()); ++c) {
                    names.emplace_back(PQfname(res.get(), c));
                    types.push_back(PQftype(res.get(), c));
                }
                sink.columns(names);
                announced = true;
            }
            for (int r = 0; r < PQntuples(res.get()) && !stopped; ++r) {
                if (!sink.row(row_of(res.get(), r, types))) {
                    stopped = true;
                    cancel();
                }
            }
        }
        if (PQstatus(conn_.get()) != CONNECTION_OK) throw OperationalError(error.value_or("connection lost"));
        if (error && !stopped) throw DatabaseError(*error);
    }

    void cancel() {
        std::unique_ptr<PGcancel, void (*)(PGcancel*)> handle(PQgetCancel(conn_.get()), PQfreeCancel);
        char message[256];
        if (handle) PQcancel(handle.get(), message, sizeof message);
    }

    static Row row_of(const PGresult* res, int r, const std::vector<Oid>& types) {
        Row row;
        row.reserve(types.size());
        for (int c = 0; c < static_cast<int>(types.size()); ++c) {
            if (PQgetisnull(res, r, c))
                row.emplace_back();
            else
                row.push_back(decode(types[static_cast<std::size_t>(c)], PQgetvalue(res, r, c),
                                     PQgetlength(res, r, c)));
        }
        return row;
    }

    // A lost connection is reopened once before the next statement.
    void ensure_open() {
        if (PQstatus(conn_.get()) == CONNECTION_OK) return;
        PQreset(conn_.get());
        if (PQstatus(conn_.get()) != CONNECTION_OK)
            throw OperationalError(trimmed_message(PQerrorMessage(conn_.get())));
    }

    void command(const std::string& sql) {
        ensure_open();
        collect(ResultPtr(PQexec(conn_.get(), sql.c_str())));
    }

    Result collect(ResultPtr res) {
        if (!res) throw OperationalError(trimmed_message(PQerrorMessage(conn_.get())));
        const ExecStatusType status = PQresultStatus(res.get());
        if (status == PGRES_FATAL_ERROR || status == PGRES_BAD_RESPONSE || status == PGRES_NONFATAL_ERROR) {
            std::string message = trimmed_message(PQresultErrorMessage(res.get()));
            if (PQstatus(conn_.get()) != CONNECTION_OK) throw OperationalError(message);
            throw DatabaseError(message);
        }
        Result out;
        const char* affected = PQcmdTuples(res.get());
        if (affected && *affected) out.affected_rows = std::atoll(affected);
        if (status != PGRES_TUPLES_OK && status != PGRES_SINGLE_TUPLE) return out;
        out.returns_rows = true;
        const int columns = PQnfields(res.get());
        const int rows = PQntuples(res.get());
        std::vector<Oid> types(static_cast<std::size_t>(columns));
        for (int c = 0; c < columns; ++c) {
            out.columns.emplace_back(PQfname(res.get(), c));
            types[static_cast<std::size_t>(c)] = PQftype(res.get(), c);
        }
        out.rows.reserve(static_cast<std::size_t>(rows));
        for (int r = 0; r < rows; ++r) out.rows.push_back(row_of(res.get(), r, types));
        return out;
    }

    std::string untrusted_role_;
    std::unique_ptr<PGconn, ConnDeleter> conn_;
};

}  // namespace

std::unique_ptr<Connection> connect_postgres(const ConnectOptions& options) {
    return std::make_unique<PostgresConnection>(options);
}

}  // namespace veltaai::sql
