#pragma once
// Reading SQL text without parsing it: where its statements end, what kind each one is, and
// whether it may run on a read-only connection. Quotes, quoted names and comments are
// skipped the way each dialect writes them, so a ';' inside them does not end a statement.

#include <string>
#include <string_view>
#include <vector>

namespace veltaai::sql {

enum class Dialect { postgresql, mysql, mssql, sqlite };

// "postgresql", "mysql", "mssql", "sqlite".
std::string_view dialect_name(Dialect dialect);

// A stretch of SQL text: code, a quoted text, a quoted name or a comment.
struct Segment {
    enum class Kind { code, text, name, comment };
    Kind kind;
    std::size_t begin;
    std::size_t end;
};

// The segments of sql, in order; together they cover the whole text.
std::vector<Segment> lex(std::string_view sql, Dialect dialect);

// The statements of sql, split at every ';' in code, each without its ';' and surrounding
// blanks; statements made only of blanks and comments are left out.
std::vector<std::string_view> split_statements(std::string_view sql, Dialect dialect);

// The first word of a statement in upper case, after blanks, comments and opening
// parentheses; empty when there is none.
std::string leading_keyword(std::string_view statement, Dialect dialect);

// Checks that sql is one statement that may run in a read-only transaction and returns it
// without its trailing ';'. Throws DatabaseError, saying why, for no statement, several
// statements, or a kind of statement that could act outside the read-only transaction
// (session and transaction control, COPY, CALL, ...). Statements that change data are let
// through where the engine itself refuses them in a read-only transaction, so that the
// engine's own message reaches the caller; on SQL Server, which has no such transactions,
// only reading statements pass. On MySQL only plain queries pass, checked token by token by
// check_mysql_query (mysql_guard.h).
std::string_view read_only_statement(std::string_view sql, Dialect dialect);

}  // namespace veltaai::sql
