#include "veltaai/sql/postgres_guard.h"

#include "veltaai/core/errors.h"

#include <nlohmann/json.hpp>
#include <pg_query.h>
#include <pthread.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <exception>
#include <functional>
#include <utility>
#include <vector>

namespace veltaai::sql {

namespace {

using nlohmann::json;

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
constexpr std::string_view kAdvisory = "takes advisory locks, which other sessions see and which can outlive the run";
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

// Texts up to this size nest too shallowly to exhaust any thread's stack in the parser; longer
// ones are parsed on a thread of its own with a stack sized for the longest text allowed.
constexpr std::size_t kInlineParseBytes = 4096;
constexpr std::size_t kParserStackBytes = std::size_t{64} << 20;

std::string lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

[[noreturn]] void refuse(const std::string& why) { throw DatabaseError("Refused: " + why); }

// "InsertStmt" as the SQL its statement starts with, for refusal texts.
std::string statement_words(const std::string& node) {
    static const std::array<std::pair<std::string_view, std::string_view>, 22> kWords = {{
        {"InsertStmt", "INSERT"},        {"UpdateStmt", "UPDATE"},       {"DeleteStmt", "DELETE"},
        {"MergeStmt", "MERGE"},          {"TransactionStmt", "transaction control"},
        {"VariableSetStmt", "SET and RESET"}, {"CopyStmt", "COPY"},      {"DoStmt", "DO"},
        {"CallStmt", "CALL"},            {"PrepareStmt", "PREPARE"},     {"ExecuteStmt", "EXECUTE"},
        {"DeallocateStmt", "DEALLOCATE"}, {"ListenStmt", "LISTEN"},      {"NotifyStmt", "NOTIFY"},
        {"UnlistenStmt", "UNLISTEN"},    {"DeclareCursorStmt", "DECLARE CURSOR"},
        {"CreateTableAsStmt", "CREATE TABLE AS"}, {"LockStmt", "LOCK"},  {"DiscardStmt", "DISCARD"},
        {"VacuumStmt", "VACUUM and ANALYZE"}, {"ExplainStmt", "EXPLAIN"}, {"LoadStmt", "LOAD"},
    }};
    for (const auto& [name, words] : kWords) {
        if (node == name) return std::string(words);
    }
    std::string shown = node.size() > 4 && node.ends_with("Stmt") ? node.substr(0, node.size() - 4) : node;
    return shown + " statements";
}

constexpr std::string_view kPlainQueries =
    "only one plain query (SELECT, VALUES, TABLE, WITH over plain queries, EXPLAIN without ANALYZE, SHOW) can run "
    "here.";

// The name of a String node ({"String": {"sval": name}}), or empty.
std::string_view string_value(const json& node) {
    const auto s = node.find("String");
    if (s == node.end() || !s->is_object()) return {};
    const auto v = s->find("sval");
    return v != s->end() && v->is_string() ? std::string_view(v->get_ref<const std::string&>()) : std::string_view();
}

void check_function_name(std::string_view name, bool column_notation) {
    if (const auto reason = postgres_denied_function(name)) {
        refuse(std::string(name) + "()" + (column_notation ? " (called in column notation)" : "") + " " + *reason +
               ", so it cannot run here.");
    }
}

// Walks the whole tree without recursion (a deep expression must not exhaust the stack) and
// refuses what a plain query must not hold.
void check_tree(const json& root) {
    std::vector<const json*> pending = {&root};
    while (!pending.empty()) {
        const json& node = *pending.back();
        pending.pop_back();
        if (node.is_array()) {
            for (const json& item : node) pending.push_back(&item);
            continue;
        }
        if (!node.is_object()) continue;
        for (const auto& [key, value] : node.items()) {
            if (key == "FuncCall") {
                const auto names = value.find("funcname");
                if (names != value.end() && names->is_array() && !names->empty()) {
                    check_function_name(string_value(names->back()), false);
                }
            } else if (key == "ColumnRef" || key == "A_Indirection") {
                // PostgreSQL reads x.f as f(x): column notation calls functions too.
                // A lone name is a column; in a.b.c every name after the first may be a call.
                const bool column = key == "ColumnRef";
                const auto fields = value.find(column ? "fields" : "indirection");
                if (fields != value.end() && fields->is_array()) {
                    for (std::size_t i = column ? 1 : 0; i < fields->size(); ++i) {
                        check_function_name(string_value((*fields)[i]), true);
                    }
                }
            } else if (key == "intoClause") {
                refuse("SELECT ... INTO creates a table; " + std::string(kPlainQueries));
            } else if (key == "lockingClause") {
                refuse("a locking clause (FOR UPDATE, FOR SHARE, ...) takes row locks; " + std::string(kPlainQueries));
            } else if (key.size() > 4 && key.ends_with("Stmt") && key != "SelectStmt") {
                refuse(statement_words(key) + " inside a query cannot run here; " + std::string(kPlainQueries));
            }
            if (value.is_structured()) pending.push_back(&value);
        }
    }
}

void check_statement(const json& statement) {
    if (!statement.is_object() || statement.size() != 1) refuse("the statement is of an unknown kind.");
    const auto& [kind, body] = *statement.items().begin();
    if (kind == "VariableShowStmt") return;  // SHOW reads a setting, as current_setting() does
    if (kind == "SelectStmt") {
        check_tree(body);
        return;
    }
    if (kind == "ExplainStmt") {
        if (const auto options = body.find("options"); options != body.end() && options->is_array()) {
            for (const json& option : *options) {
                const auto def = option.find("DefElem");
                if (def == option.end()) continue;
                const auto name = def->find("defname");
                if (name != def->end() && name->is_string() && lower(name->get<std::string>()) == "analyze") {
                    refuse("EXPLAIN ANALYZE runs the statement it explains; use EXPLAIN without ANALYZE.");
                }
            }
        }
        const auto query = body.find("query");
        if (query == body.end() || !query->is_object() || !query->contains("SelectStmt")) {
            const std::string inner =
                query != body.end() && query->is_object() && !query->empty() ? query->begin().key() : std::string();
            refuse("EXPLAIN of " + (inner.empty() ? std::string("this statement") : statement_words(inner)) +
                   " cannot run here; " + std::string(kPlainQueries));
        }
        check_tree(*query);
        return;
    }
    refuse(statement_words(kind) + " cannot run here; " + std::string(kPlainQueries));
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

void classify(const std::string& text) {
    json tree;
    {
        const ParseResult parsed(text);
        if (const PgQueryError* error = parsed.get().error) {
            refuse(std::string("PostgreSQL cannot parse the text: ") + (error->message ? error->message : "syntax error") +
                   ".");
        }
        tree = json::parse(parsed.get().parse_tree, nullptr, false);
    }
    if (tree.is_discarded()) refuse("PostgreSQL's parse of the text could not be read.");
    const auto statements = tree.find("stmts");
    if (statements == tree.end() || !statements->is_array() || statements->empty()) {
        refuse("the text holds no SQL statement.");
    }
    if (statements->size() > 1) refuse("the text holds more than one SQL statement; run one statement at a time.");
    const auto statement = statements->front().find("stmt");
    if (statement == statements->front().end()) refuse("the text holds no SQL statement.");
    check_statement(*statement);
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
        if (denied.prefix ? folded.starts_with(denied.name) : folded == denied.name) return std::string(denied.reason);
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
    if (answer.rows.empty()) return {"role " + role + " does not exist, so untrusted SQL cannot run under it"};
    std::vector<std::string> out;
    const Row& row = answer.rows.front();
    for (std::size_t i = 0; i < kPhrases.size() && i < row.size(); ++i) {
        // Drivers give booleans as bool, 1 or 't' (psqlODBC's BoolsAsChar).
        const Cell& c = row[i];
        if (c == Cell(true) || c == Cell(std::int64_t{1}) || c == Cell(std::string("1")) || c == Cell(std::string("t"))) {
            out.emplace_back(kPhrases[i]);
        }
    }
    return out;
}

void check_postgres_statement(std::string_view sql) {
    if (sql.find('\0') != std::string_view::npos) refuse("the text holds a NUL byte.");
    if (sql.size() > kPostgresMaxStatementBytes) {
        refuse("the text is longer than " + std::to_string(kPostgresMaxStatementBytes) + " bytes.");
    }
    const std::string text(sql);
    if (text.size() <= kInlineParseBytes) {
        classify(text);
        return;
    }
    on_large_stack([&] { classify(text); });
}

}  // namespace veltaai::sql
