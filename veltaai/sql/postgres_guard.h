#pragma once
// Classifies untrusted SQL for PostgreSQL with PostgreSQL's own parser (libpg_query), so the
// verdict rests on the same reading of the text as the server's: exactly one plain query, no
// locking clause or INTO, and no call of a function whose effects reach outside a read-only
// transaction (server files and programs, large objects, other sessions, advisory locks,
// configuration, sequences, replication, foreign servers, SQL run from a text).

#include "veltaai/sql/connection.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace veltaai::sql {

// Texts longer than this are refused before parsing: no model writes such a query, and the
// parser's memory grows with the text.
inline constexpr std::size_t kPostgresMaxStatementBytes = 100'000;

// What an accepted statement is: a query (which a cursor can hold), EXPLAIN, or SHOW.
enum class PostgresStatement { query, explain, show };

// Checks that sql may run as untrusted SQL on PostgreSQL; throws DatabaseError saying what was
// refused and why. The text the server then runs is sql unchanged.
PostgresStatement check_postgres_statement(std::string_view sql);

// Why a function of this name may not run in untrusted SQL, or nothing when it may. name is
// the function's own name, without schema; compared case-insensitively.
std::optional<std::string> postgres_denied_function(std::string_view name);

// The query that asks what a role could reach beyond the database's own data, with
// placeholder standing for the role's name (empty: the connected role), and its one row read
// as phrases for a warning.
std::string postgres_privileges_query(std::string_view placeholder);
std::vector<std::string> postgres_privilege_phrases(const Result& answer, const std::string& role);

}  // namespace veltaai::sql
