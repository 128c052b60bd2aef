#include "veltaai/sql/postgres_guard.h"

#include "veltaai/core/errors.h"
#include "veltaai/core/text.h"

#include <pg_query.h>
#include <pthread.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <exception>
#include <functional>
#include <utility>
#include <vector>

namespace veltaai::sql {

namespace {

// A function family refused in untrusted SQL: a whole name, or every name starting with it.
struct DeniedFunction {
    std::string_view name;
    bool prefix;
    std::string_view reason;
};

constexpr std::string_view kFiles = "reads or writes files on the database server";
constexpr std::string_view kLargeObjects = "works on large objects, which can read and write server files";
constexpr std::string_view kSessions = "signals or ends server processes and other sessions";
constexpr std::string_view kForeign = "reaches another server or database outside this transaction";
constexpr std::string_view kAdvisory =
    "takes advisory locks, which other sessions see and which can outlive the run";
constexpr std::string_view kSettings = "changes server or session configuration";
constexpr std::string_view kSequences = "changes a sequence, which no rollback undoes";
constexpr std::string_view kReplication = "acts on replication, the write-ahead log or backups";
constexpr std::string_view kRunsSql = "runs SQL given as a text, which this check cannot see";
constexpr std::string_view kNotify = "sends a notification to other sessions";
constexpr std::string_view kCatalog = "changes the server's catalogue, statistics or indexes";
constexpr std::string_view kInternal = "is an internal server function";

// Functions whose effects reach outside a read-only transaction that is rolled back. Most of
// pg_catalog's are the ones PostgreSQL itself revokes from PUBLIC; the rest come from reading
// pg_proc for volatile functions and from the contrib modules that users commonly install.
constexpr std::array kDenied = {
    DeniedFunction{"pg_read_", true, kFiles},  // pg_read_file, pg_read_binary_file, *_old
    DeniedFunction{"pg_ls_", true, kFiles},
    DeniedFunction{"pg_stat_file", false, kFiles},
    DeniedFunction{"pg_file_", true, kFiles},  // adminpack: write, rename, unlink, sync
    DeniedFunction{"pg_logdir_ls", false, kFiles},
    DeniedFunction{"pg_current_logfile", false, kFiles},
    DeniedFunction{"pg_hba_file_rules", false, kFiles},
    DeniedFunction{"pg_ident_file_mappings", false, kFiles},
    DeniedFunction{"pg_show_all_file_settings", false, kFiles},
    DeniedFunction{"pg_config", false, kFiles},
    DeniedFunction{"lo_close", false, kLargeObjects},
    DeniedFunction{"lo_creat", true, kLargeObjects},  // lo_creat, lo_create
    DeniedFunction{"lo_export", false, kLargeObjects},
    DeniedFunction{"lo_from_bytea", false, kLargeObjects},
    DeniedFunction{"lo_get", false, kLargeObjects},
    DeniedFunction{"lo_import", false, kLargeObjects},
    DeniedFunction{"lo_lseek", true, kLargeObjects},
    DeniedFunction{"lo_manage", false, kLargeObjects},
    DeniedFunction{"lo_open", false, kLargeObjects},
    DeniedFunction{"lo_put", false, kLargeObjects},
    DeniedFunction{"lo_tell", true, kLargeObjects},
    DeniedFunction{"lo_truncate", true, kLargeObjects},
    DeniedFunction{"lo_unlink", false, kLargeObjects},
    DeniedFunction{"loread", false, kLargeObjects},
    DeniedFunction{"lowrite", false, kLargeObjects},
    DeniedFunction{"pg_terminate_backend", false, kSessions},
    DeniedFunction{"pg_cancel_backend", false, kSessions},
    DeniedFunction{"pg_signal_backend", false, kSessions},
    DeniedFunction{"pg_reload_conf", false, kSessions},
    DeniedFunction{"pg_rotate_logfile", true, kSessions},
    DeniedFunction{"pg_log_backend_memory_contexts", false, kSessions},
    DeniedFunction{"pg_promote", false, kSessions},
    DeniedFunction{"dblink", true, kForeign},
    DeniedFunction{"postgres_fdw", true, kForeign},
    DeniedFunction{"pg_advisory", true, kAdvisory},
    DeniedFunction{"pg_try_advisory", true, kAdvisory},
    DeniedFunction{"set_config", false, kSettings},
    DeniedFunction{"nextval", false, kSequences},
    DeniedFunction{"setval", false, kSequences},
    DeniedFunction{"pg_create_", true, kReplication},  // slots, restore points
    DeniedFunction{"pg_drop_replication_slot", false, kReplication},
    DeniedFunction{"pg_copy_", true, kReplication},
    DeniedFunction{"pg_replication_", true, kReplication},
    DeniedFunction{"pg_logical_", true, kReplication},
    DeniedFunction{"pg_switch_", true, kReplication},
    DeniedFunction{"pg_start_backup", false, kReplication},
    DeniedFunction{"pg_stop_backup", false, kReplication},
    DeniedFunction{"pg_backup_", true, kReplication},
    DeniedFunction{"pg_wal_replay_", true, kReplication},
    DeniedFunction{"pg_xlog_replay_", true, kReplication},
    DeniedFunction{"query_to_xml", true, kRunsSql},
    DeniedFunction{"cursor_to_xml", true, kRunsSql},
    DeniedFunction{"table_to_xml", true, kRunsSql},
    DeniedFunction{"schema_to_xml", true, kRunsSql},
    DeniedFunction{"database_to_xml", true, kRunsSql},
    DeniedFunction{"ts_stat", false, kRunsSql},
    DeniedFunction{"ts_rewrite", false, kRunsSql},
    DeniedFunction{"crosstab", true, kRunsSql},  // tablefunc
    DeniedFunction{"connectby", false, kRunsSql},
    DeniedFunction{"pg_notify", false, kNotify},
    DeniedFunction{"pg_import_system_collations", false, kCatalog},
    DeniedFunction{"pg_stat_reset", true, kCatalog},
    DeniedFunction{"pg_stat_statements_reset", false, kCatalog},
    DeniedFunction{"brin_summarize_", true, kCatalog},
    DeniedFunction{"brin_desummarize_range", false, kCatalog},
    DeniedFunction{"gin_clean_pending_list", false, kCatalog},
    DeniedFunction{"pg_nextoid", false, kCatalog},
    DeniedFunction{"pg_stop_making_pinned_objects", false, kCatalog},
    DeniedFunction{"pg_extension_config_dump", false, kCatalog},
    DeniedFunction{"pg_prewarm", false, kCatalog},
    DeniedFunction{"binary_upgrade_", true, kInternal},
    DeniedFunction{"plpgsql_", true, kInternal},
};

// Texts up to this size nest too shallowly to exhaust a thread stack of 1 MiB in the parser; longer
// ones are parsed on a thread of its own with a stack sized for the longest text allowed.
constexpr std::size_t kInlineParseBytes = 4096;
constexpr std::size_t kParserStackBytes = std::size_t{64} << 20;

std::string lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

[[noreturn]] void refuse(const std::string& why) {
    throw DatabaseError("Refused: " + why);
}

// "InsertStmt" as the SQL its statement starts with, for refusal texts.
std::string statement_words(const std::string& node) {
    static const std::array<std::pair<std::string_view, std::string_view>, 22> kWords = {{
        {"InsertStmt", "INSERT"},
        {"UpdateStmt", "UPDATE"},
        {"DeleteStmt", "DELETE"},
        {"MergeStmt", "MERGE"},
        {"TransactionStmt", "transaction control"},
        {"VariableSetStmt", "SET and RESET"},
        {"CopyStmt", "COPY"},
        {"DoStmt", "DO"},
        {"CallStmt", "CALL"},
        {"PrepareStmt", "PREPARE"},
        {"ExecuteStmt", "EXECUTE"},
        {"DeallocateStmt", "DEALLOCATE"},
        {"ListenStmt", "LISTEN"},
        {"NotifyStmt", "NOTIFY"},
        {"UnlistenStmt", "UNLISTEN"},
        {"DeclareCursorStmt", "DECLARE CURSOR"},
        {"CreateTableAsStmt", "CREATE TABLE AS"},
        {"LockStmt", "LOCK"},
        {"DiscardStmt", "DISCARD"},
        {"VacuumStmt", "VACUUM and ANALYZE"},
        {"ExplainStmt", "EXPLAIN"},
        {"LoadStmt", "LOAD"},
    }};
    for (const auto& [name, words] : kWords) {
        if (node == name) return std::string(words);
    }
    std::string shown = node.size() > 4 && node.ends_with("Stmt") ? node.substr(0, node.size() - 4) : node;
    return shown + " statements";
}

constexpr std::string_view kPlainQueries =
    "only one plain query (SELECT, VALUES, TABLE, WITH over plain queries, EXPLAIN without ANALYZE, SHOW) "
    "can run "
    "here.";

std::string function_refusal(std::string_view name, bool column_notation) {
    const auto reason = postgres_denied_function(name);
    if (!reason) return {};
    return std::string(name) + "()" + (column_notation ? " (called in column notation)" : "") + " " +
           *reason + ", so it cannot run here.";
}

// What one reading of libpg_query's JSON tree found. The tree is read as a stream of tokens
// with an explicit stack, never as a document: building one costs more than the parse itself,
// and a deep expression must not exhaust the stack.
struct TreeFacts {
    int statements = 0;
    std::string kind;           // the first statement's node: "SelectStmt", "ExplainStmt", ...
    std::string explain_query;  // under EXPLAIN, the explained statement's node
    bool analyze = false;       // an EXPLAIN option named analyze
    std::string refusal;        // the first thing in the tree a plain query must not hold
};

class TreeReader {
public:
    explicit TreeReader(std::string_view json) : json_(json) {}

    TreeFacts read() {
        skip_blanks();
        value();
        skip_blanks();
        if (pos_ != json_.size()) malformed();
        return std::move(facts_);
    }

private:
    // One open object or array: the key it was reached by, and for objects the current key.
    struct Frame {
        bool object;
        std::string_view name;  // keys are plain identifiers: views into the tree's text
        std::string_view key;
        int index = -1;
        int names = 0;  // what its String elements are: 0 nothing, 1 function name, 2 column notation
        std::string last;
    };

    [[noreturn]] static void malformed() { refuse("PostgreSQL's parse of the text could not be read."); }

    char peek() const { return pos_ < json_.size() ? json_[pos_] : '\0'; }

    void skip_blanks() {
        while (pos_ < json_.size() &&
               (json_[pos_] == ' ' || json_[pos_] == '\n' || json_[pos_] == '\t' || json_[pos_] == '\r')) {
            ++pos_;
        }
    }

    void note(std::string why) {
        if (facts_.refusal.empty()) facts_.refusal = std::move(why);
    }

    // The name a new container is reached by.
    std::string_view reached_by() const {
        if (stack_.empty()) return {};
        return stack_.back().object ? stack_.back().key : stack_.back().name;
    }

    void value() {
        // Iterative: containers push frames; scalars are read in place.
        while (true) {
            skip_blanks();
            if (!stack_.empty() && !stack_.back().object) ++stack_.back().index;
            const char c = peek();
            if (c == '{' || c == '[') {
                ++pos_;
                open(c == '{');
                skip_blanks();
                if (peek() == (c == '{' ? '}' : ']')) {
                    ++pos_;
                    close();
                    if (!after_value()) return;
                    continue;
                }
                if (c == '{') member_key();
                continue;
            }
            if (c == '"') {
                // Only names are read; other texts are skipped over.
                const std::string_view key = stack_.empty() ? std::string_view() : stack_.back().key;
                if (key == "sval" || key == "defname")
                    scalar_string(string());
                else
                    skip_string();
            } else {
                while (pos_ < json_.size() && json_[pos_] != ',' && json_[pos_] != '}' &&
                       json_[pos_] != ']' && json_[pos_] != ' ' && json_[pos_] != '\n') {
                    ++pos_;
                }
            }
            if (!after_value()) return;
        }
    }

    // After a value: the next member or element, or the ends of containers. False at the end.
    bool after_value() {
        while (true) {
            if (stack_.empty()) return false;
            skip_blanks();
            const char c = peek();
            if (c == ',') {
                ++pos_;
                if (stack_.back().object) {
                    skip_blanks();
                    member_key();
                }
                return true;
            }
            if (c == (stack_.back().object ? '}' : ']')) {
                ++pos_;
                close();
                continue;
            }
            malformed();
        }
    }

    void member_key() {
        if (peek() != '"') malformed();
        const std::size_t start = ++pos_;
        while (pos_ < json_.size() && json_[pos_] != '"') {
            if (json_[pos_] == '\\') malformed();
            ++pos_;
        }
        if (pos_ >= json_.size()) malformed();
        const std::string_view key = json_.substr(start, pos_ - start);
        ++pos_;
        skip_blanks();
        if (peek() != ':') malformed();
        ++pos_;
        on_key(key);
        stack_.back().key = key;
    }

    void skip_string() {
        ++pos_;
        while (pos_ < json_.size() && json_[pos_] != '"') pos_ += json_[pos_] == '\\' ? 2 : 1;
        if (pos_ >= json_.size()) malformed();
        ++pos_;
    }

    void open(bool object) {
        Frame frame{object, reached_by(), {}, -1, 0, {}};
        if (!object && stack_.size() >= 1) {
            const std::string_view parent = stack_.back().name;
            if (frame.name == "funcname" && parent == "FuncCall") frame.names = 1;
            // PostgreSQL reads x.f as f(x): column notation calls functions too.
            if ((frame.name == "fields" && parent == "ColumnRef") ||
                (frame.name == "indirection" && parent == "A_Indirection")) {
                frame.names = 2;
            }
        }
        if (!object && stack_.size() == 1 && frame.name == "stmts") stmts_depth_ = 2;
        stack_.push_back(std::move(frame));
        if (stmts_depth_ == 2 && stack_.size() == 3 && object) ++facts_.statements;
    }

    void close() {
        Frame& frame = stack_.back();
        if (frame.names == 1 && !frame.last.empty()) {
            if (std::string why = function_refusal(frame.last, false); !why.empty()) note(std::move(why));
        }
        stack_.pop_back();
    }

    void on_key(std::string_view key) {
        const std::size_t depth = stack_.size();
        // root / stmts / {stmt: ...} / {Kind: body}: the statement's own node.
        if (depth == 4 && stack_[3].name == "stmt" && stack_[1].name == "stmts") {
            if (facts_.statements == 1) facts_.kind = std::string(key);
            return;
        }
        if (depth == 6 && stack_[5].name == "query" && stack_[4].name == "ExplainStmt") {
            if (facts_.statements == 1) facts_.explain_query = std::string(key);
        }
        if (key == "intoClause") {
            note("SELECT ... INTO creates a table; " + std::string(kPlainQueries));
        } else if (key == "lockingClause") {
            note("a locking clause (FOR UPDATE, FOR SHARE, ...) takes row locks; " +
                 std::string(kPlainQueries));
        } else if (key.size() > 4 && key.ends_with("Stmt") && key != "SelectStmt") {
            note(statement_words(std::string(key)) + " inside a query cannot run here; " +
                 std::string(kPlainQueries));
        }
    }

    void scalar_string(std::string text) {
        const std::size_t depth = stack_.size();
        if (depth >= 1 && stack_.back().object && stack_.back().key == "defname" &&
            stack_.back().name == "DefElem" && lower(text) == "analyze") {
            facts_.analyze = true;
        }
        // {"String": {"sval": name}} as an element of a list of names.
        if (depth >= 3 && stack_.back().key == "sval" && stack_.back().name == "String") {
            Frame& list = stack_[depth - 3];
            if (list.names == 1) list.last = text;
            if (list.names == 2 && (list.name == "indirection" || list.index >= 1)) {
                if (std::string why = function_refusal(text, true); !why.empty()) note(std::move(why));
            }
        }
    }

    std::uint32_t hex4() {
        if (pos_ + 4 > json_.size()) malformed();
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i) {
            const char h = json_[pos_++];
            v <<= 4;
            if (h >= '0' && h <= '9')
                v |= static_cast<std::uint32_t>(h - '0');
            else if (h >= 'a' && h <= 'f')
                v |= static_cast<std::uint32_t>(h - 'a' + 10);
            else if (h >= 'A' && h <= 'F')
                v |= static_cast<std::uint32_t>(h - 'A' + 10);
            else
                malformed();
        }
        return v;
    }

    // A JSON string at pos_, its escapes decoded.
    std::string string() {
        ++pos_;
        std::string out;
        while (true) {
            if (pos_ >= json_.size()) malformed();
            const char c = json_[pos_++];
            if (c == '"') return out;
            if (c != '\\') {
                out += c;
                continue;
            }
            if (pos_ >= json_.size()) malformed();
            const char e = json_[pos_++];
            switch (e) {
                case 'n':
                    out += '\n';
                    break;
                case 't':
                    out += '\t';
                    break;
                case 'r':
                    out += '\r';
                    break;
                case 'b':
                    out += '\b';
                    break;
                case 'f':
                    out += '\f';
                    break;
                case 'u': {
                    std::uint32_t cp = hex4();
                    if (cp >= 0xD800 && cp < 0xDC00 && json_.substr(pos_, 2) == "\\u") {
                        pos_ += 2;
                        const std::uint32_t low = hex4();
                        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                    }
                    append_utf8(out, cp);
                    break;
                }
                default:
                    out += e;
                    break;
            }
        }
    }

    std::string_view json_;
    std::size_t pos_ = 0;
    std::size_t stmts_depth_ = 0;
    std::vector<Frame> stack_;
    TreeFacts facts_;
};

PostgresStatement judge(const TreeFacts& facts) {
    if (facts.statements == 0) refuse("the text holds no SQL statement.");
    if (facts.statements > 1)
        refuse("the text holds more than one SQL statement; run one statement at a time.");
    // SHOW reads a setting, as current_setting() does.
    if (facts.kind == "VariableShowStmt") return PostgresStatement::show;
    if (facts.kind == "ExplainStmt") {
        if (facts.analyze)
            refuse("EXPLAIN ANALYZE runs the statement it explains; use EXPLAIN without ANALYZE.");
        if (facts.explain_query != "SelectStmt") {
            refuse("EXPLAIN of " +
                   (facts.explain_query.empty() ? std::string("this statement")
                                                : statement_words(facts.explain_query)) +
                   " cannot run here; " + std::string(kPlainQueries));
        }
    } else if (facts.kind != "SelectStmt") {
        refuse((facts.kind.empty() ? std::string("this statement") : statement_words(facts.kind)) +
               " cannot run here; " + std::string(kPlainQueries));
    }
    if (!facts.refusal.empty()) refuse(facts.refusal);
    return facts.kind == "ExplainStmt" ? PostgresStatement::explain : PostgresStatement::query;
}

// libpg_query's result, freed on every path.
class ParseResult {
public:
    explicit ParseResult(const std::string& text) : result_(pg_query_parse(text.c_str())) {}
    ~ParseResult() { pg_query_free_parse_result(result_); }
    ParseResult(const ParseResult&) = delete;
    ParseResult& operator=(const ParseResult&) = delete;
    const PgQueryParseResult& get() const { return result_; }

private:
    PgQueryParseResult result_;
};

PostgresStatement classify(const std::string& text) {
    const ParseResult parsed(text);
    if (const PgQueryError* error = parsed.get().error) {
        refuse(std::string("PostgreSQL cannot parse the text: ") +
               (error->message ? error->message : "syntax error") + ".");
    }
    const char* tree = parsed.get().parse_tree;
    return judge(TreeReader(tree ? std::string_view(tree) : std::string_view()).read());
}

// Runs work on a thread with a stack of its own size, passing its exception on.
void on_large_stack(const std::function<void()>& work) {
    struct Job {
        const std::function<void()>* work;
        std::exception_ptr error;
    } job{&work, nullptr};
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) throw DatabaseError("Refused: the query could not be checked.");
    pthread_attr_setstacksize(&attributes, kParserStackBytes);
    pthread_t thread;
    const int rc = pthread_create(
        &thread, &attributes,
        [](void* arg) -> void* {
            auto* j = static_cast<Job*>(arg);
            try {
                (*j->work)();
            } catch (...) {
                j->error = std::current_exception();
            }
            return nullptr;  // libpg_query frees its memory of this thread as it ends
        },
        &job);
    pthread_attr_destroy(&attributes);
    if (rc != 0) throw DatabaseError("Refused: the query could not be checked (no thread for the parser).");
    pthread_join(thread, nullptr);
    if (job.error) std::rethrow_exception(job.error);
}

}  // namespace

std::optional<std::string> postgres_denied_function(std::string_view name) {
    const std::string folded = lower(name);
    for (const DeniedFunction& denied : kDenied) {
        if (denied.prefix ? folded.starts_with(denied.name) : folded == denied.name)
            return std::string(denied.reason);
    }
    return std::nullopt;
}

std::string postgres_privileges_query(std::string_view placeholder) {
    return "SELECT r.rolsuper, pg_catalog.pg_has_role(r.oid, 'pg_read_server_files', 'MEMBER'), "
           "pg_catalog.pg_has_role(r.oid, 'pg_write_server_files', 'MEMBER'), "
           "pg_catalog.pg_has_role(r.oid, 'pg_execute_server_program', 'MEMBER'), "
           "pg_catalog.pg_has_role(r.oid, 'pg_signal_backend', 'MEMBER'), r.rolcreaterole, r.rolreplication, "
           "r.rolbypassrls, EXISTS (SELECT 1 FROM pg_catalog.pg_extension WHERE extname = 'dblink'), "
           "EXISTS (SELECT 1 FROM pg_catalog.pg_extension WHERE extname = 'adminpack'), "
           "EXISTS (SELECT 1 FROM pg_catalog.pg_extension WHERE extname = 'postgres_fdw') "
           "FROM pg_catalog.pg_roles r WHERE r.rolname = COALESCE(NULLIF(" +
           std::string(placeholder) + ", ''), current_user)";
}

std::vector<std::string> postgres_privilege_phrases(const Result& answer, const std::string& role) {
    static constexpr std::array<std::string_view, 11> kPhrases = {
        "superuser: every server file, server program and session",
        "member of pg_read_server_files: reads any file on the server",
        "member of pg_write_server_files: writes files on the server",
        "member of pg_execute_server_program: runs programs on the server",
        "member of pg_signal_backend: cancels and ends other sessions",
        "CREATEROLE: creates and changes roles",
        "REPLICATION: streams the write-ahead log and manages replication slots",
        "BYPASSRLS: reads past row-level security policies",
        "dblink is installed: reaches other databases and servers",
        "adminpack is installed: writes, renames and removes server files",
        "postgres_fdw is installed: reaches other servers through foreign tables",
    };
    if (answer.rows.empty())
        return {"role " + role + " does not exist, so untrusted SQL cannot run under it"};
    std::vector<std::string> out;
    const Row& row = answer.rows.front();
    for (std::size_t i = 0; i < kPhrases.size() && i < row.size(); ++i) {
        // Drivers give booleans as bool, 1 or 't' (psqlODBC's BoolsAsChar).
        const Cell& c = row[i];
        if (c == Cell(true) || c == Cell(std::int64_t{1}) || c == Cell(std::string("1")) ||
            c == Cell(std::string("t"))) {
            out.emplace_back(kPhrases[i]);
        }
    }
    return out;
}

PostgresStatement check_postgres_statement(std::string_view sql) {
    if (sql.find('\0') != std::string_view::npos) refuse("the text holds a NUL byte.");
    if (sql.size() > kPostgresMaxStatementBytes) {
        refuse("the text is longer than " + std::to_string(kPostgresMaxStatementBytes) + " bytes.");
    }
    const std::string text(sql);
    if (text.size() <= kInlineParseBytes) return classify(text);
    PostgresStatement kind = PostgresStatement::query;
    on_large_stack([&] { kind = classify(text); });
    return kind;
}

}  // namespace veltaai::sql
