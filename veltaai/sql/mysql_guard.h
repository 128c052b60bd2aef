#pragma once
// The MariaDB/MySQL rules for untrusted SQL. There is no parser library for these servers, so
// the text is read token by token the way the server's lexer reads it (under the sql_mode
// kReaderSqlMode leaves in force) and refused unless it is one plain query whose every token
// stays inside the read-only transaction: no executable comments, no INTO, no locking
// clauses, no variable assignment, no function from the deny-list.

#include <string>
#include <string_view>
#include <vector>

namespace veltaai::sql {

// Throws DatabaseError, saying why, unless statement (one statement without its ';') is a
// plain query: SELECT, WITH, VALUES, TABLE, EXPLAIN, DESCRIBE or SHOW whose tokens pass the
// deny-lists. denied_functions (upper case) are refused as calls too, e.g. the server's UDFs.
void check_mysql_query(std::string_view statement, const std::vector<std::string>& denied_functions = {});

// An expression for SET SESSION sql_mode: the session's mode without the flags that change how
// quotes and backslashes are read (ANSI_QUOTES, NO_BACKSLASH_ESCAPES and the combined modes
// that imply ANSI_QUOTES: ANSI, ORACLE, MSSQL, POSTGRESQL, DB2, MAXDB), so the server reads
// texts exactly as check_mysql_query does.
extern const std::string_view kReaderSqlMode;

}  // namespace veltaai::sql
