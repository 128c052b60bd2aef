#pragma once
// A strict reader of untrusted SQL for SQL Server (T-SQL), and for engines behind ODBC that
// this library does not know. T-SQL needs no separator between statements (`SELECT 1 DELETE
// FROM t` is two), so the reader does not look for where statements end: it refuses every
// word that changes data, runs code, controls transactions or reaches another server, wherever
// it stands outside texts, quoted names and comments.

#include <string_view>

namespace veltaai::sql {

enum class TsqlRules {
    sql_server,      // T-SQL as SQL Server reads it: nested block comments, [names], N'texts'
    unknown_engine,  // also refuses every character whose reading differs between engines
};

// Checks that sql may run as untrusted SQL under rules; throws DatabaseError saying what was
// refused and why.
void check_tsql_statement(std::string_view sql, TsqlRules rules);

}  // namespace veltaai::sql
