#include "veltaai/sql/statement.h"

#include "veltaai/core/errors.h"
#include "veltaai/sql/mysql_guard.h"

#include <algorithm>
#include <array>
#include <cctype>

namespace veltaai::sql {

namespace {

// The refusals, in one place.
constexpr std::string_view kNoStatement = "Refused: the text holds no SQL statement.";
constexpr std::string_view kSeveralStatements =
    "Refused: the text holds more than one SQL statement; run one statement at a time.";
constexpr std::string_view kKindRefusedPrefix = "Refused: ";
constexpr std::string_view kKindRefusedSuffix =
    " statements cannot run here; only one query that reads data (SELECT, WITH, VALUES, TABLE, SHOW, "
    "EXPLAIN, "
    "DESCRIBE) is allowed.";

constexpr std::array<std::string_view, 8> kReadKeywords = {"SELECT", "WITH",    "VALUES",   "TABLE",
                                                           "SHOW",   "EXPLAIN", "DESCRIBE", "DESC"};
// Refused by the engine itself inside a read-only transaction (PostgreSQL, MariaDB with
// tx_read_only, SQLite with query_only), so they may reach it and fail with its own message.
constexpr std::array<std::string_view, 9> kEngineRefusedKeywords = {
    "INSERT", "UPDATE", "DELETE", "MERGE", "REPLACE", "CREATE", "DROP", "ALTER", "TRUNCATE"};

bool is_word_char(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || static_cast<unsigned char>(c) >= 0x80;
}

bool is_blank(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

class Lexer {
public:
    Lexer(std::string_view sql, Dialect dialect) : sql_(sql), dialect_(dialect) {}

    std::vector<Segment> run() {
        std::size_t code_start = 0;
        std::size_t i = 0;
        while (i < sql_.size()) {
            const std::size_t end = special_at(i);
            if (end == i) {
                ++i;
                continue;
            }
            if (i > code_start) out_.push_back({Segment::Kind::code, code_start, i});
            out_.push_back({kind_, i, end});
            i = end;
            code_start = i;
        }
        if (sql_.size() > code_start) out_.push_back({Segment::Kind::code, code_start, sql_.size()});
        return std::move(out_);
    }

private:
    bool mysql() const { return dialect_ == Dialect::mysql; }
    bool postgres() const { return dialect_ == Dialect::postgresql; }
    char at(std::size_t i) const { return i < sql_.size() ? sql_[i] : '\0'; }

    // If a quoted text, quoted name or comment starts at i, its end (and kind_ set); else i.
    std::size_t special_at(std::size_t i) {
        const char c = sql_[i];
        if (c == '\'') {
            kind_ = Segment::Kind::text;
            return quoted(i, '\'', backslash_escapes_at(i));
        }
        if (c == '"') {
            kind_ = mysql() ? Segment::Kind::text : Segment::Kind::name;
            return quoted(i, '"', mysql());
        }
        if (c == '`' && (mysql() || dialect_ == Dialect::sqlite)) {
            kind_ = Segment::Kind::name;
            return quoted(i, '`', false);
        }
        if (c == '[' && (dialect_ == Dialect::mssql || dialect_ == Dialect::sqlite)) {
            kind_ = Segment::Kind::name;
            return quoted(i, ']', false);
        }
        if (c == '-' && at(i + 1) == '-' &&
            (!mysql() || at(i + 2) == '\0' || is_blank(at(i + 2)) ||
             std::iscntrl(static_cast<unsigned char>(at(i + 2))))) {
            kind_ = Segment::Kind::comment;
            const std::size_t nl = sql_.find('\n', i);
            return nl == std::string_view::npos ? sql_.size() : nl + 1;
        }
        if (c == '#' && mysql()) {
            kind_ = Segment::Kind::comment;
            const std::size_t nl = sql_.find('\n', i);
            return nl == std::string_view::npos ? sql_.size() : nl + 1;
        }
        if (c == '/' && at(i + 1) == '*') {
            // MySQL runs the inside of /*! ... */ as code: only its markers are comment.
            if (mysql() && (at(i + 2) == '!' || (at(i + 2) == 'M' && at(i + 3) == '!'))) {
                std::size_t j = i + (at(i + 2) == '!' ? 3 : 4);
                while (std::isdigit(static_cast<unsigned char>(at(j)))) ++j;
                kind_ = Segment::Kind::comment;
                pending_executable_end_ = true;
                return j;
            }
            kind_ = Segment::Kind::comment;
            return block_comment(i);
        }
        if (c == '*' && at(i + 1) == '/' && pending_executable_end_) {
            pending_executable_end_ = false;
            kind_ = Segment::Kind::comment;
            return i + 2;
        }
        if (c == '$' && postgres() && (i == 0 || !is_word_char(sql_[i - 1]))) {
            std::size_t j = i + 1;
            if (!std::isdigit(static_cast<unsigned char>(at(j)))) {
                while (j < sql_.size() && is_word_char(sql_[j]) && sql_[j] != '$') ++j;
                if (at(j) == '$') {
                    const std::string_view tag = sql_.substr(i, j + 1 - i);
                    const std::size_t close = sql_.find(tag, j + 1);
                    kind_ = Segment::Kind::text;
                    return close == std::string_view::npos ? sql_.size() : close + tag.size();
                }
            }
        }
        return i;
    }

    // PostgreSQL's E'...' texts and every MySQL text treat a backslash as an escape.
    bool backslash_escapes_at(std::size_t i) const {
        if (mysql()) return true;
        if (!postgres() || i == 0) return false;
        const char prefix = sql_[i - 1];
        return (prefix == 'E' || prefix == 'e') && (i < 2 || !is_word_char(sql_[i - 2]));
    }

    // End of a quoted stretch opened at i; a doubled closing quote stays inside. Unclosed
    // quotes run to the end of the text.
    std::size_t quoted(std::size_t i, char close, bool backslash) const {
        std::size_t j = i + 1;
        while (j < sql_.size()) {
            if (backslash && sql_[j] == '\\') {
                j += 2;
                continue;
            }
            if (sql_[j] == close) {
                if (at(j + 1) == close) {
                    j += 2;
                    continue;
                }
                return j + 1;
            }
            ++j;
        }
        return sql_.size();
    }

    // PostgreSQL nests block comments; the others end at the first */.
    std::size_t block_comment(std::size_t i) const {
        int depth = 0;
        std::size_t j = i;
        while (j + 1 < sql_.size()) {
            if (sql_[j] == '/' && sql_[j + 1] == '*') {
                ++depth;
                j += 2;
                if (!postgres() && depth > 1) depth = 1;
            } else if (sql_[j] == '*' && sql_[j + 1] == '/') {
                j += 2;
                if (--depth == 0) return j;
            } else {
                ++j;
            }
        }
        return sql_.size();
    }

    std::string_view sql_;
    Dialect dialect_;
    Segment::Kind kind_ = Segment::Kind::code;
    bool pending_executable_end_ = false;
    std::vector<Segment> out_;
};

std::string_view trim(std::string_view text) {
    while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
    return text;
}

bool has_code(std::string_view statement, Dialect dialect) {
    for (const Segment& s : lex(statement, dialect)) {
        if (s.kind == Segment::Kind::comment) continue;
        if (s.kind != Segment::Kind::code) return true;
        for (std::size_t i = s.begin; i < s.end; ++i) {
            if (!is_blank(statement[i])) return true;
        }
    }
    return false;
}

template <std::size_t N>
bool contains(const std::array<std::string_view, N>& list, std::string_view word) {
    return std::find(list.begin(), list.end(), word) != list.end();
}

}  // namespace

std::string_view dialect_name(Dialect dialect) {
    switch (dialect) {
        case Dialect::postgresql:
            return "postgresql";
        case Dialect::mysql:
            return "mysql";
        case Dialect::mssql:
            return "mssql";
        case Dialect::sqlite:
            return "sqlite";
    }
    return "";
}

std::vector<Segment> lex(std::string_view sql, Dialect dialect) {
    return Lexer(sql, dialect).run();
}

std::vector<std::string_view> split_statements(std::string_view sql, Dialect dialect) {
    std::vector<std::string_view> statements;
    std::size_t start = 0;
    auto flush = [&](std::size_t end) {
        const std::string_view piece = trim(sql.substr(start, end - start));
        if (has_code(piece, dialect)) statements.push_back(piece);
        start = end + 1;
    };
    for (const Segment& s : lex(sql, dialect)) {
        if (s.kind != Segment::Kind::code) continue;
        for (std::size_t i = s.begin; i < s.end; ++i) {
            if (sql[i] == ';') flush(i);
        }
    }
    if (start <= sql.size()) flush(sql.size());
    return statements;
}

std::string leading_keyword(std::string_view statement, Dialect dialect) {
    for (const Segment& s : lex(statement, dialect)) {
        if (s.kind == Segment::Kind::comment) continue;
        if (s.kind != Segment::Kind::code) return {};
        std::size_t i = s.begin;
        while (i < s.end && (is_blank(statement[i]) || statement[i] == '(')) ++i;
        if (i == s.end) continue;
        std::string word;
        while (i < s.end && is_word_char(statement[i])) {
            word += static_cast<char>(std::toupper(static_cast<unsigned char>(statement[i])));
            ++i;
        }
        return word;
    }
    return {};
}

std::string_view read_only_statement(std::string_view sql, Dialect dialect) {
    const std::vector<std::string_view> statements = split_statements(sql, dialect);
    if (statements.empty()) throw DatabaseError(std::string(kNoStatement));
    if (statements.size() > 1) throw DatabaseError(std::string(kSeveralStatements));
    const std::string_view statement = statements.front();
    if (dialect == Dialect::mysql) {
        check_mysql_query(statement);
        return statement;
    }
    const std::string keyword = leading_keyword(statement, dialect);
    const bool allowed = contains(kReadKeywords, keyword) ||
                         (dialect != Dialect::mssql && contains(kEngineRefusedKeywords, keyword));
    if (!allowed) {
        const std::string shown = keyword.empty() ? std::string("these") : keyword;
        throw DatabaseError(std::string(kKindRefusedPrefix) + shown + std::string(kKindRefusedSuffix));
    }
    return statement;
}

}  // namespace veltaai::sql
