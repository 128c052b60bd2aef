#pragma once
// The ODBC driver, over the unixODBC driver manager: SQL Server through the driver named
// "SQL Server", or any other ODBC driver. Untrusted SQL is checked by the rules of the engine
// the driver reports (odbc_guard.h), runs in manual-commit mode under SQL_ATTR_QUERY_TIMEOUT
// (on PostgreSQL in a transaction made read-only in SQL) and is always rolled back. The
// catalogue comes from the ODBC catalogue functions.

#include "veltaai/sql/connection.h"

#include <memory>
#include <string>

namespace veltaai::sql {

// Opens a connection with an ODBC connection string; dialect names the SQL the server speaks
// (for prompts and callers), while the guard follows the engine the driver reports.
// Throws OperationalError with the driver manager's or driver's messages when that fails.
std::unique_ptr<Connection> connect_odbc(const std::string& connection_string,
                                         Dialect dialect = Dialect::mssql,
                                         std::chrono::seconds login_timeout = std::chrono::seconds(10));

// value as a connection string attribute value: kept as it is unless it holds ';', '{' or '}',
// in which case it is wrapped in braces with every '}' doubled.
std::string odbc_attribute_value(std::string_view value);

}  // namespace veltaai::sql
