#include "veltaai/sql/mysql_guard.h"

#include "veltaai/core/errors.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>

namespace veltaai::sql {

// The combined modes (ORACLE, MSSQL, ...) imply ANSI_QUOTES again when the list is set, so they go
// too; ANSI_QUOTES is removed before ANSI, whose name it contains.
const std::string_view kReaderSqlMode =
    "REPLACE(REPLACE(REPLACE(REPLACE(REPLACE(REPLACE(REPLACE(REPLACE(@@SESSION.sql_mode, 'ANSI_QUOTES', ''), "
    "'NO_BACKSLASH_ESCAPES', ''), 'ORACLE', ''), 'MSSQL', ''), 'POSTGRESQL', ''), 'DB2', ''), 'MAXDB', ''), "
    "'ANSI', '')";

namespace {

constexpr std::string_view kExecutableComment =
    "Refused: executable comments (/*! ... */, /*M! ... */) and optimizer hints (/*+ ... */) cannot run "
    "here; "
    "write the query without them.";
constexpr std::string_view kUnclosed = "Refused: the text has an unclosed quote or comment.";
constexpr std::string_view kNulByte = "Refused: the text holds a NUL byte.";
constexpr std::string_view kBadUtf8 = "Refused: the text is not valid UTF-8.";
constexpr std::string_view kSeveral =
    "Refused: the text holds more than one SQL statement; run one statement at a time.";
constexpr std::string_view kKindSuffix =
    " statements cannot run here; only one query that reads data (SELECT, WITH, VALUES, TABLE, SHOW, "
    "EXPLAIN, "
    "DESCRIBE) is allowed.";
constexpr std::string_view kOnlyReads = "; only queries that read data are allowed.";

constexpr std::array<std::string_view, 8> kQueryKeywords = {"SELECT", "WITH",    "VALUES",   "TABLE",
                                                            "SHOW",   "EXPLAIN", "DESCRIBE", "DESC"};

struct Denied {
    std::string_view word;
    std::string_view reason;
};

// Reserved words refused wherever they stand in code: clauses that act beyond the read-only
// transaction or change data. Being reserved, none can be a bare name. Statements the server
// only knows at the start (PREPARE, EXECUTE, XA, COMMIT, HANDLER, ...) are refused by the
// leading-word rule, so their words stay usable as names.
constexpr std::array<Denied, 10> kDeniedWords = {{
    {"INTO", "SELECT ... INTO writes server files (OUTFILE, DUMPFILE) or sets variables"},
    {"OUTFILE", "it writes a file on the server"},
    {"UPDATE", "it changes data or, in FOR UPDATE, locks rows"},
    {"DELETE", "it changes data"},
    {"LOCK", "it takes locks (LOCK IN SHARE MODE, LOCK TABLES)"},
    {"UNLOCK", "it releases locks of the session"},
    {"PROCEDURE", "PROCEDURE runs server code over the result"},
    {"KILL", "it ends other sessions or their statements"},
    {"CALL", "it runs stored procedures"},
    {"LOAD", "LOAD DATA and LOAD XML read server or client files"},
}};

struct DeniedFunction {
    std::string_view name;
    bool prefix;  // every function whose name starts with it
    std::string_view reason;
};

// Functions whose effects reach outside the read-only transaction: server files, locks that
// outlive it, waits on replication, sequences, and the well-known UDF families that run
// programs or administer the server.
constexpr std::array<DeniedFunction, 27> kDeniedFunctions = {{
    {"LOAD_FILE", false, "it reads files on the server"},
    {"GET_LOCK", false, "user locks outlive the transaction"},
    {"RELEASE_LOCK", false, "user locks outlive the transaction"},
    {"RELEASE_ALL_LOCKS", false, "user locks outlive the transaction"},
    {"IS_FREE_LOCK", false, "it inspects other sessions' user locks"},
    {"IS_USED_LOCK", false, "it inspects other sessions' user locks"},
    {"BENCHMARK", false, "it repeats an expression and hides being cut by the time limit"},
    {"MASTER_POS_WAIT", false, "it waits on replication"},
    {"MASTER_GTID_WAIT", false, "it waits on replication"},
    {"SOURCE_POS_WAIT", false, "it waits on replication"},
    {"WAIT_FOR_EXECUTED_GTID_SET", false, "it waits on replication"},
    {"WAIT_UNTIL_SQL_THREAD_AFTER_GTIDS", false, "it waits on replication"},
    {"WSREP_SYNC_WAIT_UPTO_GTID", false, "it waits on the cluster"},
    {"BINLOG_GTID_POS", false, "it reads the server's binary log files"},
    {"NEXTVAL", false, "sequence values are taken for good"},
    {"SETVAL", false, "it changes a sequence"},
    {"SYS_", true, "system UDFs run programs on the server"},
    {"LIB_MYSQLUDF_", true, "system UDFs run programs on the server"},
    {"SERVICE_GET_", true, "locking-service locks outlive the transaction"},
    {"SERVICE_RELEASE_", true, "locking-service locks outlive the transaction"},
    {"VERSION_TOKENS_", true, "version tokens are server-wide state"},
    {"KEYRING_", true, "keyring functions change server keys"},
    {"AUDIT_LOG_", true, "audit log functions change server settings"},
    {"MYSQL_FIREWALL_", true, "firewall functions change server settings"},
    {"GROUP_REPLICATION_", true, "group replication functions administer the server"},
    {"ASYNCHRONOUS_CONNECTION_FAILOVER_", true, "replication functions administer the server"},
    {"MASKING_DICTIONAR", true, "masking dictionaries are server-wide state"},
}};

struct Token {
    enum class Kind { word, name, text, punct };
    Kind kind;
    std::string text;  // words and names upper-cased; punctuation as written
};

[[noreturn]] void refuse(std::string_view message) {
    throw DatabaseError(std::string(message));
}

bool word_char(unsigned char c) {
    return std::isalnum(c) || c == '_' || c == '$' || c >= 0x80;
}

std::string upper(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool valid_utf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto c = static_cast<unsigned char>(text[i]);
        std::size_t extra = 0;
        std::uint32_t code = 0;
        if (c < 0x80) {
            ++i;
            continue;
        }
        if (c >= 0xC2 && c <= 0xDF)
            extra = 1, code = c & 0x1F;
        else if (c >= 0xE0 && c <= 0xEF)
            extra = 2, code = c & 0x0F;
        else if (c >= 0xF0 && c <= 0xF4)
            extra = 3, code = c & 0x07;
        else
            return false;
        if (i + extra >= text.size()) return false;
        for (std::size_t k = 1; k <= extra; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) return false;
            code = (code << 6) | (next & 0x3F);
        }
        if ((extra == 2 && (code < 0x800 || (code >= 0xD800 && code <= 0xDFFF))) ||
            (extra == 3 && (code < 0x10000 || code > 0x10FFFF))) {
            return false;
        }
        i += extra + 1;
    }
    return true;
}

// The tokens of statement as MariaDB's lexer splits them with backslash escapes on and
// ANSI_QUOTES off (the session mode the driver sets); comments are dropped.
std::vector<Token> tokens_of(std::string_view sql) {
    std::vector<Token> out;
    auto at = [&](std::size_t i) -> char { return i < sql.size() ? sql[i] : '\0'; };
    std::size_t i = 0;
    while (i < sql.size()) {
        const char c = sql[i];
        const auto uc = static_cast<unsigned char>(c);
        if (std::isspace(uc)) {
            ++i;
        } else if (c == '\'' || c == '"' || c == '`') {
            const bool backslash = c != '`';
            std::size_t j = i + 1;
            std::string body;
            while (true) {
                if (j >= sql.size()) refuse(kUnclosed);
                if (backslash && sql[j] == '\\') {
                    if (j + 1 >= sql.size()) refuse(kUnclosed);
                    body += sql[j + 1];
                    j += 2;
                } else if (sql[j] == c) {
                    if (at(j + 1) != c) break;
                    body += c;
                    j += 2;
                } else {
                    body += sql[j++];
                }
            }
            out.push_back({c == '`' ? Token::Kind::name : Token::Kind::text, c == '`' ? upper(body) : body});
            i = j + 1;
        } else if (c == '#' || (c == '-' && at(i + 1) == '-' &&
                                (i + 2 >= sql.size() || std::isspace(static_cast<unsigned char>(at(i + 2))) ||
                                 std::iscntrl(static_cast<unsigned char>(at(i + 2)))))) {
            const std::size_t nl = sql.find('\n', i);
            i = nl == std::string_view::npos ? sql.size() : nl + 1;
        } else if (c == '/' && at(i + 1) == '*') {
            const char m = at(i + 2);
            if (m == '!' || m == '+' || ((m == 'M' || m == 'm') && at(i + 3) == '!'))
                refuse(kExecutableComment);
            const std::size_t close = sql.find("*/", i + 2);
            if (close == std::string_view::npos) refuse(kUnclosed);
            i = close + 2;
        } else if (word_char(uc)) {
            std::size_t j = i;
            while (j < sql.size() && word_char(static_cast<unsigned char>(sql[j]))) ++j;
            out.push_back({Token::Kind::word, upper(sql.substr(i, j - i))});
            i = j;
        } else if (c == ':' && at(i + 1) == '=') {
            out.push_back({Token::Kind::punct, ":="});
            i += 2;
        } else {
            out.push_back({Token::Kind::punct, std::string(1, c)});
            ++i;
        }
    }
    return out;
}

const DeniedFunction* denied_function(const std::string& name) {
    for (const DeniedFunction& f : kDeniedFunctions) {
        if (f.prefix ? name.rfind(f.name, 0) == 0 : name == f.name) return &f;
    }
    return nullptr;
}

[[noreturn]] void refuse_word(const std::string& word, std::string_view reason) {
    throw DatabaseError("Refused: " + word + " cannot be used here: " + std::string(reason) +
                        std::string(kOnlyReads));
}

}  // namespace

void check_mysql_query(std::string_view statement, const std::vector<std::string>& denied_functions) {
    if (statement.find('\0') != std::string_view::npos) refuse(kNulByte);
    if (!valid_utf8(statement)) refuse(kBadUtf8);
    const std::vector<Token> tokens = tokens_of(statement);
    std::size_t first = 0;
    while (first < tokens.size() && tokens[first].kind == Token::Kind::punct && tokens[first].text == "(")
        ++first;
    const std::string leading =
        first < tokens.size() && tokens[first].kind == Token::Kind::word ? tokens[first].text : std::string();
    if (std::find(kQueryKeywords.begin(), kQueryKeywords.end(), leading) == kQueryKeywords.end()) {
        throw DatabaseError("Refused: " + (leading.empty() ? std::string("these") : leading) +
                            std::string(kKindSuffix));
    }
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        const Token& t = tokens[i];
        const Token* next = i + 1 < tokens.size() ? &tokens[i + 1] : nullptr;
        const bool call = next && next->kind == Token::Kind::punct && next->text == "(";
        if (t.kind == Token::Kind::punct) {
            if (t.text == ":=") refuse_word(":=", "it assigns user variables");
            if (t.text == ";") refuse(kSeveral);
            continue;
        }
        if (t.kind == Token::Kind::text) continue;
        if (t.kind == Token::Kind::word) {
            for (const Denied& d : kDeniedWords) {
                if (t.text == d.word) refuse_word(t.text, d.reason);
            }
            // INSERT() and REPLACE() are string functions; the statements are not.
            if ((t.text == "INSERT" || t.text == "REPLACE") && !call) refuse_word(t.text, "it changes data");
            if (next && next->kind == Token::Kind::word) {
                if (t.text == "NEXT" && next->text == "VALUE")
                    refuse_word("NEXT VALUE FOR", "sequence values are taken for good");
                if (t.text == "FOR" && next->text == "SHARE") refuse_word("FOR SHARE", "it locks rows");
            }
        }
        // A quoted name before '(' still calls the built-in function of that name.
        if (call) {
            if (const DeniedFunction* f = denied_function(t.text)) refuse_word(t.text, f->reason);
            if (std::find(denied_functions.begin(), denied_functions.end(), t.text) !=
                denied_functions.end()) {
                refuse_word(t.text, "user-defined functions (UDFs) run native code in the server");
            }
        }
    }
}

}  // namespace veltaai::sql
