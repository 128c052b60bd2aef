#include "veltaai/sql/mssql_guard.h"

#include "veltaai/core/errors.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <string>
#include <vector>

namespace veltaai::sql {

namespace {

// Words refused anywhere in code: they change data or the schema, run code or other
// statements, control transactions or the session, reach files or other servers, or end the
// statement's reading (GO).
constexpr std::array<std::string_view, 68> kRefusedWords = {
    "INSERT",   "UPDATE",     "DELETE",       "MERGE",          "TRUNCATE",
    "DROP",     "ALTER",      "CREATE",       "GRANT",          "REVOKE",
    "DENY",     "EXEC",       "EXECUTE",      "BEGIN",          "COMMIT",
    "ROLLBACK", "SAVE",       "TRAN",         "TRANSACTION",    "WAITFOR",
    "SHUTDOWN", "KILL",       "RECONFIGURE",  "DBCC",           "BACKUP",
    "RESTORE",  "USE",        "SET",          "DECLARE",        "GO",
    "INTO",     "OPENROWSET", "OPENQUERY",    "OPENDATASOURCE", "OPENXML",
    "BULK",     "READTEXT",   "WRITETEXT",    "UPDATETEXT",     "CHECKPOINT",
    "PRINT",    "RAISERROR",  "THROW",        "RETURN",         "GOTO",
    "WHILE",    "IF",         "BREAK",        "CONTINUE",       "TRY",
    "CATCH",    "OPEN",       "CLOSE",        "DEALLOCATE",     "CURSOR",
    "SETUSER",  "REVERT",     "ENABLE",       "DISABLE",        "TRIGGER",
    "SEND",     "RECEIVE",    "CONVERSATION", "DUMP",           "LOAD",
    "OUTPUT",   "DISK",       "EXTERNAL",
};

// Functions that read server files or logs.
constexpr std::array<std::string_view, 5> kRefusedFunctions = {
    "FN_XE_FILE_TARGET_READ_FILE", "FN_GET_AUDIT_FILE", "FN_TRACE_GETTABLE", "FN_DBLOG", "FN_DUMP_DBLOG"};

bool is_word_char(char c) {
    const auto u = static_cast<unsigned char>(c);
    return std::isalnum(u) || c == '_' || c == '@' || c == '#' || c == '$';
}

bool is_blank(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

std::string upper(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

[[noreturn]] void refuse(const std::string& why) {
    throw DatabaseError("Refused: " + why);
}

constexpr std::string_view kOnlyQueries =
    "only one query that reads data (SELECT or WITH) can run here, and words that change data, run code, "
    "control "
    "transactions or reach other servers are refused wherever they stand outside texts, quoted names and "
    "comments.";

struct Token {
    enum class Kind { word, name, text, dot, semicolon, other };
    Kind kind;
    std::string value;  // words upper-cased; names as written inside their quotes
};

class Reader {
public:
    Reader(std::string_view sql, TsqlRules rules) : sql_(sql), strict_(rules == TsqlRules::unknown_engine) {}

    std::vector<Token> tokens() {
        std::vector<Token> out;
        std::size_t i = 0;
        while (i < sql_.size()) {
            const char c = sql_[i];
            if (is_blank(c)) {
                ++i;
            } else if (c == '-' && at(i + 1) == '-') {
                if (strict_ && !(is_blank(at(i + 2)) || at(i + 2) == '\0')) {
                    refuse("a '--' comment not followed by a blank reads differently between engines.");
                }
                const std::size_t nl = sql_.find('\n', i);
                i = nl == std::string_view::npos ? sql_.size() : nl + 1;
            } else if (c == '/' && at(i + 1) == '*') {
                i = block_comment(i);
            } else if (c == '\'') {
                std::string value;
                i = quoted(i, '\'', value);
                out.push_back({Token::Kind::text, std::move(value)});
            } else if (c == '"' || c == '[') {
                std::string value;
                i = quoted(i, c == '"' ? '"' : ']', value);
                out.push_back({Token::Kind::name, std::move(value)});
            } else if (static_cast<unsigned char>(c) >= 0x80) {
                // The server may read some of these as blanks (no-break spaces, ...), which would
                // split what this reader sees as one word.
                refuse("characters beyond ASCII may stand only inside texts, quoted names and comments.");
            } else if (is_word_char(c)) {
                const std::size_t start = i;
                while (i < sql_.size() && is_word_char(sql_[i])) ++i;
                out.push_back({Token::Kind::word, upper(sql_.substr(start, i - start))});
            } else {
                out.push_back({c == '.'   ? Token::Kind::dot
                               : c == ';' ? Token::Kind::semicolon
                                          : Token::Kind::other,
                               std::string(1, c)});
                ++i;
            }
        }
        return out;
    }

private:
    char at(std::size_t i) const { return i < sql_.size() ? sql_[i] : '\0'; }

    // SQL Server nests block comments: each /* inside needs its own */.
    std::size_t block_comment(std::size_t i) const {
        int depth = 0;
        std::size_t j = i;
        while (j + 1 < sql_.size()) {
            if (sql_[j] == '/' && sql_[j + 1] == '*') {
                if (depth > 0 && strict_) refuse("a nested block comment reads differently between engines.");
                ++depth;
                j += 2;
            } else if (sql_[j] == '*' && sql_[j + 1] == '/') {
                j += 2;
                if (--depth == 0) return j;
            } else {
                ++j;
            }
        }
        refuse("a block comment is not closed.");
    }

    // A quoted stretch opened at i, a doubled closing quote standing for itself.
    std::size_t quoted(std::size_t i, char close, std::string& value) const {
        std::size_t j = i + 1;
        while (j < sql_.size()) {
            if (sql_[j] == close) {
                if (at(j + 1) != close) return j + 1;
                ++j;
            }
            value += sql_[j];
            ++j;
        }
        refuse(close == '\'' ? "a quoted text is not closed." : "a quoted name is not closed.");
    }

    std::string_view sql_;
    bool strict_;
};

bool refused_procedure(const std::string& name) {
    const std::string folded = upper(name);
    return folded.starts_with("SP_") || folded.starts_with("XP_");
}

}  // namespace

void check_tsql_statement(std::string_view sql, TsqlRules rules) {
    if (sql.find('\0') != std::string_view::npos) refuse("the text holds a NUL byte.");
    if (rules == TsqlRules::unknown_engine) {
        // Backslash escapes, backquotes, '#' comments, dollar quotes, [names] and ODBC escapes
        // are read differently by different engines: a reader that cannot know the engine
        // refuses them.
        const std::size_t odd = sql.find_first_of("\\`#${}[]");
        if (odd != std::string_view::npos) {
            refuse(std::string("the character '") + sql[odd] +
                   "' reads differently between engines; the database engine behind this ODBC driver is not "
                   "known, "
                   "so the strictest rules apply.");
        }
    }
    const std::vector<Token> tokens = Reader(sql, rules).tokens();
    std::size_t first = 0;
    while (first < tokens.size() && tokens[first].kind == Token::Kind::other && tokens[first].value == "(")
        ++first;
    if (first == tokens.size()) refuse("the text holds no SQL statement.");
    if (tokens[first].kind != Token::Kind::word ||
        (tokens[first].value != "SELECT" && tokens[first].value != "WITH")) {
        const std::string shown = tokens[first].kind == Token::Kind::word ? tokens[first].value : "this";
        refuse(shown + " statements cannot run here; " + std::string(kOnlyQueries));
    }
    std::size_t chain = 0;  // dots in the current dotted name
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        const Token& t = tokens[i];
        if (t.kind == Token::Kind::semicolon) {
            bool trailing = true;
            for (std::size_t j = i + 1; j < tokens.size(); ++j)
                trailing = trailing && tokens[j].kind == Token::Kind::semicolon;
            if (!trailing) refuse("the text holds more than one SQL statement; run one statement at a time.");
            continue;
        }
        if (t.kind == Token::Kind::dot) {
            if (++chain >= 3)
                refuse("a four-part name reaches a linked server; " + std::string(kOnlyQueries));
            continue;
        }
        if (t.kind == Token::Kind::other && (t.value == "{" || t.value == "}")) {
            refuse("ODBC escape sequences ({...}) cannot run here; the driver would rewrite them.");
        }
        const bool part = t.kind == Token::Kind::word || t.kind == Token::Kind::name;
        if (!part || i == 0 || tokens[i - 1].kind != Token::Kind::dot) chain = 0;
        if (t.kind == Token::Kind::word) {
            if (std::find(kRefusedWords.begin(), kRefusedWords.end(), t.value) != kRefusedWords.end()) {
                refuse(t.value + " cannot run here; " + std::string(kOnlyQueries));
            }
            if (std::find(kRefusedFunctions.begin(), kRefusedFunctions.end(), t.value) !=
                kRefusedFunctions.end()) {
                refuse(t.value + " reads files on the server and cannot run here.");
            }
            if (t.value == "NEXT" && i + 1 < tokens.size() && tokens[i + 1].value == "VALUE") {
                refuse("NEXT VALUE FOR changes a sequence, which no rollback undoes.");
            }
        }
        if ((t.kind == Token::Kind::word || t.kind == Token::Kind::name) && refused_procedure(t.value)) {
            refuse("system procedures (sp_..., xp_...) cannot run here; " + std::string(kOnlyQueries));
        }
    }
}

}  // namespace veltaai::sql
