#pragma once
// Which engine an ODBC driver talks to, and the check of untrusted SQL that engine gets. The
// rules follow the engine the driver reports, never the dialect the caller named: PostgreSQL's
// parser for PostgreSQL, a strict reader for SQLite, the T-SQL reader for SQL Server, and the
// strictest rules for any engine not known here.

#include <string_view>

namespace veltaai::sql {

enum class OdbcEngine { postgresql, sqlite, mssql, unknown };

// The engine named by SQLGetInfo(SQL_DBMS_NAME): "PostgreSQL", "SQLite", "Microsoft SQL Server".
OdbcEngine odbc_engine(std::string_view dbms_name);

// Checks untrusted SQL for engine; throws DatabaseError saying what was refused and why.
void check_odbc_statement(std::string_view sql, OdbcEngine engine);

// The reading of untrusted SQL for SQLite when no authorizer can be installed (through ODBC):
// one SELECT, WITH or VALUES, no ATTACH, PRAGMA or VACUUM, no file, extension or tokenizer
// function, no ODBC escape.
void check_sqlite_text(std::string_view sql);

}  // namespace veltaai::sql
