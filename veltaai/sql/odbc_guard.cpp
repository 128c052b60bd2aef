#include "veltaai/sql/odbc_guard.h"

#include "veltaai/core/errors.h"
#include "veltaai/sql/mssql_guard.h"
#include "veltaai/sql/postgres_guard.h"
#include "veltaai/sql/statement.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <string>

namespace veltaai::sql {

namespace {

// Words refused anywhere in SQLite code: statements that reach other files or change the
// connection.
constexpr std::array<std::string_view, 5> kSqliteRefusedWords = {"ATTACH", "DETACH", "PRAGMA", "VACUUM",
                                                                 "REINDEX"};

// Functions that load code, read or write files, hand out host pointers, or allocate without
// bound in the host process (the SQLite ODBC driver runs the engine inside it).
constexpr std::array<std::string_view, 15> kSqliteRefusedFunctions = {
    "load_extension", "fts3_tokenizer", "readfile",       "writefile",        "edit",
    "fsdir",          "zipfile",        "sqlar_compress", "sqlar_uncompress", "lsmode",
    "zeroblob",       "randomblob",     "sqlite_dbpage",  "sqlite_dbdata",    "sqlite_dbptr"};

std::string folded(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

[[noreturn]] void refuse(const std::string& why) {
    throw DatabaseError("Refused: " + why);
}

bool word_char(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '$' ||
           static_cast<unsigned char>(c) >= 0x80;
}

void check_sqlite_name(const std::string& name) {
    const std::string f = folded(name);
    if (std::find(kSqliteRefusedFunctions.begin(), kSqliteRefusedFunctions.end(), f) !=
        kSqliteRefusedFunctions.end()) {
        refuse(name + "() loads code, reaches files or host memory, and cannot run here.");
    }
    if (f.starts_with("pragma_")) refuse(name + " reads connection settings and cannot run here.");
    std::string upper = f;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (std::find(kSqliteRefusedWords.begin(), kSqliteRefusedWords.end(), upper) !=
        kSqliteRefusedWords.end()) {
        refuse(upper + " cannot run here; only one query that reads data (SELECT, WITH, VALUES) is allowed.");
    }
}

}  // namespace

OdbcEngine odbc_engine(std::string_view dbms_name) {
    const std::string name = folded(dbms_name);
    if (name.find("postgres") != std::string::npos) return OdbcEngine::postgresql;
    if (name.find("sqlite") != std::string::npos) return OdbcEngine::sqlite;
    if (name == "microsoft sql server") return OdbcEngine::mssql;
    return OdbcEngine::unknown;
}

void check_sqlite_text(std::string_view sql) {
    if (sql.find('\0') != std::string_view::npos) refuse("the text holds a NUL byte.");
    const auto statements = split_statements(sql, Dialect::sqlite);
    if (statements.empty()) refuse("the text holds no SQL statement.");
    if (statements.size() > 1)
        refuse("the text holds more than one SQL statement; run one statement at a time.");
    const std::string keyword = leading_keyword(statements.front(), Dialect::sqlite);
    if (keyword != "SELECT" && keyword != "WITH" && keyword != "VALUES") {
        refuse(
            (keyword.empty() ? std::string("these") : keyword) +
            " statements cannot run here; only one query that reads data (SELECT, WITH, VALUES) is allowed.");
    }
    for (const Segment& s : lex(sql, Dialect::sqlite)) {
        const std::string_view piece = sql.substr(s.begin, s.end - s.begin);
        if (s.kind == Segment::Kind::name && piece.front() == '[' &&
            piece.find("]]") != std::string_view::npos) {
            // SQLite ends a [name] at its first ']': no doubling, unlike the reader's quoting.
            refuse("a [name] holding ']]' reads differently in SQLite.");
        }
        if (s.kind == Segment::Kind::name && piece.size() >= 2) {
            // A quoted name may name a function: "load_extension"('x') calls it.
            check_sqlite_name(std::string(piece.substr(1, piece.size() - 2)));
            continue;
        }
        if (s.kind != Segment::Kind::code) continue;
        if (piece.find_first_of("{}") != std::string_view::npos) {
            refuse("ODBC escape sequences ({...}) cannot run here.");
        }
        std::size_t i = 0;
        while (i < piece.size()) {
            if (!word_char(piece[i])) {
                ++i;
                continue;
            }
            const std::size_t start = i;
            while (i < piece.size() && word_char(piece[i])) ++i;
            const std::string word = folded(piece.substr(start, i - start));
            // WITH ... DELETE (or INSERT, UPDATE, REPLACE INTO) changes data; replace() is a function.
            std::size_t next = i;
            while (next < piece.size() && std::isspace(static_cast<unsigned char>(piece[next]))) ++next;
            const bool call = next < piece.size() && piece[next] == '(';
            if (word == "insert" || word == "update" || word == "delete" || (word == "replace" && !call)) {
                refuse(
                    "a statement that changes data cannot run here; only one query that reads data (SELECT, "
                    "WITH, "
                    "VALUES) is allowed.");
            }
            check_sqlite_name(std::string(piece.substr(start, i - start)));
        }
    }
}

void check_odbc_statement(std::string_view sql, OdbcEngine engine) {
    switch (engine) {
        case OdbcEngine::postgresql:
            check_postgres_statement(sql);
            return;
        case OdbcEngine::sqlite:
            check_sqlite_text(sql);
            return;
        case OdbcEngine::mssql:
            check_tsql_statement(sql, TsqlRules::sql_server);
            return;
        case OdbcEngine::unknown:
            check_tsql_statement(sql, TsqlRules::unknown_engine);
            return;
    }
}

}  // namespace veltaai::sql
