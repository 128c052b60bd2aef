#include "veltaai/dbtool.h"

#include "veltaai/core/errors.h"
#include "veltaai/core/status.h"
#include "veltaai/core/text.h"
#include "veltaai/sql/mysql.h"
#include "veltaai/sql/odbc.h"
#include "veltaai/sql/postgres.h"
#include "veltaai/sql/transaction.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <iostream>

namespace veltaai::dbtool {

namespace {

// The fixed texts of this module.
constexpr std::string_view kBadConfig = "All parameters must be provided and 'port' must be an integer.";
constexpr std::string_view kBadPort = "'port' must be a port number from 1 to 65535.";
constexpr long long kLowestPort = 1;
constexpr long long kHighestPort = 65535;
constexpr std::string_view kInvalidSettings = "The following configuration variables are invalid:";
constexpr std::string_view kAllSettingsSet = "All configuration variables are set correctly.";
constexpr std::string_view kConnected = "Success! Connection Established! .";
constexpr std::string_view kFailedToConnectPrefix = "Failed to connect to ";
constexpr std::string_view kFailedToConnectSuffix = " database: ";
constexpr std::string_view kUnsupportedEngine = "Unsupported SQL engine specified.";
constexpr std::string_view kMysqlConnectFailed = "Failed to connect to the database: ";
constexpr std::string_view kPgErrorPrefix = "The error '";
constexpr std::string_view kPgErrorSuffix = "' occurred";
constexpr std::string_view kQueryFailed = "An error occurred while executing the query: ";
constexpr std::string_view kSchemaFailed = "An error occurred: ";
constexpr std::string_view kShowTables = "SHOW TABLES";
constexpr std::string_view kShowColumns = "SHOW COLUMNS FROM ";

// Verbatim, blanks included; %s is the one parameter.
const std::string kPgTablesQuery =
    "\n"
    "                SELECT table_name\n"
    "                FROM information_schema.tables\n"
    "                WHERE table_schema = 'public'\n"
    "            ";
const std::string kPgColumnsQuery =
    "\n"
    "                    SELECT column_name, data_type\n"
    "                    FROM information_schema.columns\n"
    "                    WHERE table_schema = 'public' AND table_name = %s\n"
    "                ";

bool valid_port(long long port) {
    return port >= kLowestPort && port <= kHighestPort;
}

// A port written in the environment: digits only. Anything else is kept as 0, which
// check_db_config_variables reports and every connection refuses.
long long port_from_text(const std::string& text) {
    if (text.empty() || text.size() > 18 || !std::all_of(text.begin(), text.end(), [](char c) {
            return std::isdigit(static_cast<unsigned char>(c));
        }))
        return 0;
    return std::stoll(text);
}

DatabaseSettings load_settings() {
    DatabaseSettings s;
    const std::optional<std::string> port = environment_text("db_port");
    s.db_port = port ? port_from_text(*port) : 3306;
    s.db_user = environment_text("db_user").value_or("root");
    s.db_password = environment_text("db_password").value_or("tarn");
    s.db_host = environment_text("db_host");
    s.db_name = environment_text("db_name");
    return s;
}

// Captured once, when the library is loaded.
DatabaseSettings g_settings = load_settings();

void print_line(std::string_view line) {
    status_line(line);
}

// A value as Python's str() would write it: texts as they are, None for null.
std::string text_form(const Value& value) {
    return python_str(value);
}

Value optional_value(const std::optional<std::string>& text) {
    return text ? Value(*text) : Value(nullptr);
}

// The port of a connection: an integer or digits from 1 to 65535; null leaves it to the client.
// Another kind is a TypeError. A number outside the range is refused as a connection failure
// (OperationalError, the class the clients use for unusable connection parameters) rather
// than narrowed into some other port or the client's default.
std::optional<long long> port_number(const Value& port) {
    if (port.is_null()) return std::nullopt;
    std::optional<long long> number;
    std::string written;
    if (port.is_number_unsigned()) {
        written = port.dump();
        number = port.get<std::uint64_t>() > static_cast<std::uint64_t>(kHighestPort) ? kHighestPort + 1
                                                                                      : port.get<long long>();
    } else if (port.is_number_integer()) {
        written = port.dump();
        number = port.get<long long>();
    } else if (port.is_string() && !port.get_ref<const std::string&>().empty() &&
               std::all_of(port.get_ref<const std::string&>().begin(),
                           port.get_ref<const std::string&>().end(),
                           [](char c) { return std::isdigit(static_cast<unsigned char>(c)); })) {
        written = port.get<std::string>();
        number = written.size() > 5 ? kHighestPort + 1 : std::stoll(written);
    } else {
        throw TypeError("db_port must be an integer, got a " + kind_name(port));
    }
    if (!valid_port(*number))
        throw OperationalError("invalid port " + written + ": a port must be from 1 to 65535");
    return number;
}

// Connection parameters for the MySQL and PostgreSQL clients. Null leaves a parameter to the
// client's default; a port must be an integer or digits.
sql::ConnectOptions client_options(const Value& user, const Value& password, const Value& host,
                                   const Value& port, const Value& name) {
    auto text = [](const Value& v, const char* what) -> std::string {
        if (v.is_null()) return {};
        if (v.is_string()) return v.get<std::string>();
        if (v.is_number() || v.is_boolean()) return text_form(v);
        throw TypeError(std::string(what) + " must be a text, got a " + kind_name(v));
    };
    sql::ConnectOptions options;
    options.user = text(user, "db_user");
    options.password = text(password, "db_password");
    options.host = text(host, "db_host");
    options.database = text(name, "db_name");
    if (const std::optional<long long> number = port_number(port)) options.port = static_cast<int>(*number);
    return options;
}

std::unique_ptr<sql::Connection> configured_mysql() {
    const DatabaseSettings s = g_settings;
    return get_mysql_db_connection(optional_value(s.db_user), optional_value(s.db_password),
                                   optional_value(s.db_host), s.db_port, optional_value(s.db_name));
}

std::string text_of(const sql::Cell& cell) {
    if (const auto* b = std::get_if<sql::Bytes>(&cell)) return b->data;
    return sql::display_text(cell);
}

std::string backtick_quoted(std::string_view name) {
    std::string out = "`";
    for (const char c : name) {
        if (c == '`') out += '`';
        out += c;
    }
    return out + "`";
}

std::string numbered_placeholder(std::string text) {
    const std::size_t at = text.find("%s");
    if (at != std::string::npos) text.replace(at, 2, "$1");
    return text;
}

}  // namespace

const DatabaseSettings& database_settings() {
    return g_settings;
}

void set_database_config(const Value& name, const Value& user, const Value& password, const Value& host,
                         const Value& port) {
    if (name.is_null() || user.is_null() || password.is_null() || host.is_null() ||
        !port.is_number_integer()) {
        throw ValueError(std::string(kBadConfig));
    }
    if (port.is_number_unsigned() ? port.get<std::uint64_t>() > static_cast<std::uint64_t>(kHighestPort)
                                  : !valid_port(port.get<long long>())) {
        throw ValueError(std::string(kBadPort));
    }
    g_settings.db_name = text_form(name);
    g_settings.db_user = text_form(user);
    g_settings.db_password = text_form(password);
    g_settings.db_host = text_form(host);
    g_settings.db_port = port.get<long long>();
}

std::vector<std::string> check_db_config_variables() {
    std::vector<std::string> invalid;
    const std::pair<const char*, const std::optional<std::string>*> texts[] = {
        {"db_name", &g_settings.db_name},
        {"db_user", &g_settings.db_user},
        {"db_password", &g_settings.db_password},
        {"db_host", &g_settings.db_host}};
    for (const auto& [name, value] : texts) {
        if (!*value || (*value)->empty()) invalid.emplace_back(name);
    }
    // The port is always an integer; it is invalid outside 1..65535 (a db_port in the
    // environment that was not a number is held as 0).
    if (!valid_port(g_settings.db_port)) invalid.emplace_back("db_port");
    if (!invalid.empty()) {
        std::string line(kInvalidSettings);
        line += " ";
        for (std::size_t i = 0; i < invalid.size(); ++i) line += (i ? ", " : "") + invalid[i];
        print_line(line);
    } else {
        print_line(kAllSettingsSet);
    }
    return invalid;
}

std::string mssql_connection_string(const Value& db_user, const Value& db_password, const Value& db_host,
                                    const Value& db_port, const Value& db_name) {
    return "DRIVER={SQL Server};SERVER=" + sql::odbc_attribute_value(text_form(db_host)) + "," +
           sql::odbc_attribute_value(text_form(db_port)) +
           ";DATABASE=" + sql::odbc_attribute_value(text_form(db_name)) +
           ";UID=" + sql::odbc_attribute_value(text_form(db_user)) +
           ";PWD=" + sql::odbc_attribute_value(text_form(db_password));
}

std::string get_db_connection(const Value& engine, const Value& db_user, const Value& db_password,
                              const Value& db_host, const Value& db_port, const Value& db_name) {
    const std::string name = engine.is_string() ? engine.get<std::string>() : std::string();
    if (name != "MySQL" && name != "PostgreSQL" && name != "MsSQL") return std::string(kUnsupportedEngine);
    try {
        std::unique_ptr<sql::Connection> connection;
        if (name == "MySQL") {
            connection = sql::connect_mysql(client_options(db_user, db_password, db_host, db_port, db_name));
        } else if (name == "PostgreSQL") {
            connection =
                sql::connect_postgres(client_options(db_user, db_password, db_host, db_port, db_name));
        } else {
            port_number(db_port);  // the same ports are refused as for the other engines
            connection =
                sql::connect_odbc(mssql_connection_string(db_user, db_password, db_host, db_port, db_name));
        }
        connection.reset();  // a test only: nothing stays open
        return std::string(kConnected);
    } catch (const std::exception& error) {
        return std::string(kFailedToConnectPrefix) + name + std::string(kFailedToConnectSuffix) +
               error.what();
    }
}

std::unique_ptr<sql::Connection> get_mysql_db_connection(const Value& db_user, const Value& db_password,
                                                         const Value& db_host, const Value& db_port,
                                                         const Value& db_name) {
    try {
        return sql::connect_mysql(client_options(db_user, db_password, db_host, db_port, db_name));
    } catch (const std::exception& error) {
        print_line(std::string(kMysqlConnectFailed) + error.what());
        return nullptr;
    }
}

std::unique_ptr<sql::Connection> get_pgdb_connection(const Value& db_user, const Value& db_password,
                                                     const Value& db_host, const Value& db_port,
                                                     const Value& db_name) {
    try {
        // Arguments of an unusable kind (TypeError) reach the caller; a port outside the range
        // is a connection failure like the client's own.
        return sql::connect_postgres(client_options(db_user, db_password, db_host, db_port, db_name));
    } catch (const OperationalError& error) {
        print_line(std::string(kPgErrorPrefix) + error.what() + std::string(kPgErrorSuffix));
        return nullptr;
    }
}

std::optional<std::vector<sql::Record>> execute_mysql_query(const std::string& sql_query) {
    std::unique_ptr<sql::Connection> connection = configured_mysql();
    if (!connection) return std::nullopt;
    try {
        sql::Transaction transaction(*connection);
        sql::Result result = connection->execute(sql_query);
        transaction.finish();
        return result.records();
    } catch (const std::exception& error) {
        print_line(std::string(kQueryFailed) + error.what());
        return std::nullopt;
    }
}

std::optional<std::vector<sql::Row>> execute_pgdb_query(const std::string& sql_query) {
    try {
        const DatabaseSettings s = g_settings;
        std::unique_ptr<sql::Connection> connection =
            get_pgdb_connection(optional_value(s.db_user), optional_value(s.db_password),
                                optional_value(s.db_host), s.db_port, optional_value(s.db_name));
        if (!connection) return std::nullopt;
        sql::Transaction transaction(*connection);
        sql::Result result = connection->execute(sql_query);
        // Committed whatever the statement was: a WITH ... DELETE ... RETURNING both yields
        // rows and changes data.
        transaction.finish();
        if (!result.returns_rows) return std::nullopt;
        return std::move(result.rows);
    } catch (const std::exception& error) {
        print_line(std::string(kQueryFailed) + error.what());
        return std::nullopt;
    }
}

Value get_mysql_database_schema() {
    Value schema = Value::object();
    std::unique_ptr<sql::Connection> connection = configured_mysql();
    if (!connection) return nullptr;
    try {
        const sql::Result tables = connection->execute(kShowTables);
        for (const sql::Row& row : tables.rows) {
            const std::string table = text_of(row.at(0));
            schema[table] = Value::array();
            const sql::Result columns =
                connection->execute(std::string(kShowColumns) + backtick_quoted(table));
            const std::size_t field = columns.column("Field");
            const std::size_t type = columns.column("Type");
            for (const sql::Row& column : columns.rows) {
                schema[table].push_back({{"name", text_of(column[field])}, {"type", text_of(column[type])}});
            }
        }
    } catch (const std::exception& error) {
        print_line(std::string(kSchemaFailed) + error.what());
    }
    return schema;
}

Value get_pgdb_schema() {
    Value schema = Value::object();
    std::unique_ptr<sql::Connection> connection;
    try {
        const DatabaseSettings s = g_settings;
        connection = get_pgdb_connection(optional_value(s.db_user), optional_value(s.db_password),
                                         optional_value(s.db_host), s.db_port, optional_value(s.db_name));
        if (!connection) return nullptr;
        const sql::Result tables = connection->execute(kPgTablesQuery);
        const std::size_t table_name = tables.column("table_name");
        const std::string columns_query = numbered_placeholder(kPgColumnsQuery);
        for (const sql::Row& row : tables.rows) {
            const std::string table = text_of(row[table_name]);
            schema[table] = Value::array();
            const sql::Result columns = connection->execute(columns_query, {sql::Cell(table)});
            const std::size_t column_name = columns.column("column_name");
            const std::size_t data_type = columns.column("data_type");
            for (const sql::Row& column : columns.rows) {
                schema[table].push_back(
                    {{"name", text_of(column[column_name])}, {"type", text_of(column[data_type])}});
            }
        }
    } catch (const std::exception& error) {
        print_line(std::string(kSchemaFailed) + error.what());
    }
    return schema;
}

}  // namespace veltaai::dbtool
