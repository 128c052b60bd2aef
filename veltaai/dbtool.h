#pragma once
// Direct database utilities for host programs: process-wide connection settings captured from
// the environment when the library loads, a connection test for MySQL, PostgreSQL and SQL
// Server (ODBC), connection factories, one-statement execution and schema listings.
//
// Failures are printed as one line on standard output and answered with an empty result;
// values in returned rows keep their types (sql::Cell). MySQL rows come back as records of
// column name to value, PostgreSQL rows as positional rows.

#include "veltaai/core/value.h"
#include "veltaai/sql/connection.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace veltaai::dbtool {

struct DatabaseSettings {
    std::optional<std::string> db_name;
    std::optional<std::string> db_user;
    std::optional<std::string> db_password;
    std::optional<std::string> db_host;
    long long db_port = 3306;
};

// The process-wide settings. At load: db_port from env "db_port" (else 3306; a value that is
// not digits is held as 0, an invalid port), db_user from "db_user" (else "root"), db_password
// from "db_password" (else "tarn"), db_host and db_name from "db_host" and "db_name" (else
// absent). Not locked: configure before running queries.
const DatabaseSettings& database_settings();

// Replaces all five settings. Any of name, user, password, host null, or a port that is not an
// integer: ValueError "All parameters must be provided and 'port' must be an integer."; a port
// outside 1..65535: ValueError "'port' must be a port number from 1 to 65535."; in both cases
// nothing changes. Texts are stored as they are; other values by their text form.
void set_database_config(const Value& name, const Value& user, const Value& password, const Value& host,
                         const Value& port);

// Names of settings that are absent or empty (db_port: outside 1..65535), in the order
// db_name, db_user, db_password, db_host, db_port; prints which (or that all are set).
std::vector<std::string> check_db_config_variables();

// Opens and closes one connection to engine "MySQL", "PostgreSQL" or "MsSQL" and says how it
// went: "Success! Connection Established! .", "Failed to connect to <engine> database: <error>"
// or "Unsupported SQL engine specified.". Prints nothing. In this and the factories below a
// port is an integer or digits from 1 to 65535 (null: the client's default); one outside that
// range is a connection failure, never another port.
std::string get_db_connection(const Value& engine, const Value& db_user, const Value& db_password,
                              const Value& db_host, const Value& db_port, const Value& db_name);

// The SQL Server connection string of get_db_connection. Values holding ';', '{' or '}' are
// wrapped in braces with '}' doubled; others are inserted as they are.
std::string mssql_connection_string(const Value& db_user, const Value& db_password, const Value& db_host,
                                    const Value& db_port, const Value& db_name);

// An open MySQL connection, or nullptr after printing "Failed to connect to the database: <error>".
std::unique_ptr<sql::Connection> get_mysql_db_connection(const Value& db_user, const Value& db_password,
                                                         const Value& db_host, const Value& db_port,
                                                         const Value& db_name);

// An open PostgreSQL connection, or nullptr after printing "The error '<error>' occurred" for a
// connection failure. Arguments of an unusable kind throw TypeError.
std::unique_ptr<sql::Connection> get_pgdb_connection(const Value& db_user, const Value& db_password,
                                                     const Value& db_host, const Value& db_port,
                                                     const Value& db_name);

// Runs sql_query on the configured MySQL database and commits it; every row as a record (an
// empty list for statements without rows), or nothing after printing the failure.
std::optional<std::vector<sql::Record>> execute_mysql_query(const std::string& sql_query);

// Runs sql_query on the configured PostgreSQL database and commits it; the rows of a statement
// that yields rows (SELECT, WITH ... SELECT, ... RETURNING), nothing for other statements or
// after printing a failure.
std::optional<std::vector<sql::Row>> execute_pgdb_query(const std::string& sql_query);

// Table name -> [{"name": column, "type": type}, ...] in the server's order, or null when no
// connection could be opened. A failed listing prints "An error occurred: <error>" and returns
// what was gathered so far. get_pgdb_schema lists the tables and views of schema "public",
// each with its own columns only (not those of same-named tables in other schemas).
Value get_mysql_database_schema();
Value get_pgdb_schema();

}  // namespace veltaai::dbtool
