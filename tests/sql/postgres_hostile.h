#pragma once
// The attacks on PostgreSQL's guarded run, shared by the native and the ODBC suites, and the
// independent snapshot they are judged by: fixture tables and their checksums, a sequence,
// advisory locks, large objects, replication slots, a session that must survive, files in a
// directory the server may write.

#include "tests/sql/test_servers.h"
#include "veltaai/sql/postgres.h"

#include <pwd.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace veltaai::testing {

struct Attack {
    std::string sql;
    bool refused;  // the guard must refuse it; otherwise it may run but must change nothing
};

class PostgresTarget {
public:
    explicit PostgresTarget(const Server& pg) : pg_(pg) {
        using namespace std::chrono_literals;
        admin_ = connect();
        victim_ = connect();
        schema_ = "probe_" + std::to_string(::getpid());
        admin_->execute("CREATE EXTENSION IF NOT EXISTS dblink");
        admin_->execute("CREATE EXTENSION IF NOT EXISTS adminpack");
        admin_->execute("DROP SCHEMA IF EXISTS " + schema_ + " CASCADE");
        admin_->execute("CREATE SCHEMA " + schema_);
        admin_->execute("CREATE TABLE " + t() + " (v integer PRIMARY KEY, note text)");
        admin_->execute("INSERT INTO " + t() + " SELECT g, 'row ' || g FROM generate_series(1, 5) g");
        admin_->execute("CREATE SEQUENCE " + schema_ + ".probe_seq");
        admin_->execute("CREATE PROCEDURE " + schema_ + ".wipe() LANGUAGE sql AS $$ DELETE FROM " + t() +
                        " $$");
        // A function of the database that takes a session lock on the query's behalf.
        admin_->execute("CREATE FUNCTION " + schema_ +
                        ".grab() RETURNS int LANGUAGE plpgsql AS $$ BEGIN PERFORM "
                        "pg_advisory_lock(" +
                        std::to_string(key()) + "); RETURN 1; END $$");
        victim_pid_ = std::get<std::int64_t>(victim_->execute("SELECT pg_backend_pid()").rows.at(0).at(0));
        const char* root = std::getenv("VELTAAI_TEST_SERVERS_DIR");
        dir_ = std::filesystem::path(root ? root : "/tmp") / ("probe-files-" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir_);
        if (const passwd* pw = ::getpwnam("postgres"); pw && ::geteuid() == 0) {
            if (::chown(dir_.c_str(), pw->pw_uid, pw->pw_gid) != 0) dir_.clear();
        }
    }
    ~PostgresTarget() {
        try {
            admin_->execute("DROP SCHEMA IF EXISTS " + schema_ + " CASCADE");
        } catch (const std::exception&) {
        }
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    std::unique_ptr<sql::Connection> connect(const std::string& database = "veltaai_scratch") const {
        using namespace std::chrono_literals;
        return sql::connect_postgres({pg_.host, pg_.port, pg_.user, pg_.password, database, 5s, {}});
    }

    std::string t() const { return schema_ + ".probe_t"; }
    const std::string& schema() const { return schema_; }
    std::int64_t key() const { return ::getpid(); }
    const std::filesystem::path& dir() const { return dir_; }

    // Everything an attack could have changed, seen through a separate session.
    std::string snapshot() const {
        const std::string k = std::to_string(key());
        const sql::Result r = admin_->execute(
            "SELECT (SELECT count(*) || ':' || md5(coalesce(string_agg(v || note, ',' ORDER BY v), '')) "
            "FROM " +
            t() + "), (SELECT last_value || ':' || is_called FROM " + schema_ +
            ".probe_seq), "
            "(SELECT count(*) FROM pg_locks WHERE locktype = 'advisory' AND objid = " +
            k +
            "), "
            "(SELECT count(*) FROM pg_largeobject_metadata), (SELECT count(*) FROM pg_replication_slots), "
            "(SELECT count(*) FROM pg_stat_activity WHERE pid = " +
            std::to_string(victim_pid_) +
            "), "
            "(SELECT count(*) FROM pg_class WHERE relnamespace = '" +
            schema_ +
            "'::regnamespace), "
            "current_setting('default_transaction_read_only')");
        std::string out;
        for (const sql::Cell& c : r.rows.at(0)) out += sql::display_text(c) + " | ";
        for (const auto& entry : std::filesystem::directory_iterator(dir_))
            out += entry.path().filename().string() + " ";
        return out;
    }

    // The hostile statements: at least one per class the guard must hold against.
    std::vector<Attack> attacks() const {
        const std::string T = t();
        const std::string S = schema_;
        const std::string k = std::to_string(key());
        const std::string pid = std::to_string(victim_pid_);
        const std::string d = dir_.string();
        const std::string conn = "host=" + pg_.host + " port=" + std::to_string(pg_.port) +
                                 " user=" + pg_.user + " password=" + pg_.password +
                                 " dbname=veltaai_scratch";
        std::vector<Attack> a = {
            // Data changes, alone, hidden, or split by separators the guard must see.
            {"DELETE FROM " + T, true},
            {"WITH d AS (DELETE FROM " + T + " RETURNING *) SELECT * FROM d", true},
            {"SELECT (WITH x AS (UPDATE " + T + " SET v = v + 10 RETURNING 1) SELECT 1)", true},
            {"SELECT 1; DELETE FROM " + T, true},
            {"SELECT $$ ' $$; COMMIT; DELETE FROM " + T + " WHERE v = 4; SELECT $$ ' $$", true},
            {"SELECT 1 /* ; */ ; DELETE FROM " + T, true},
            {"SELECT 1 -- comment\n; DELETE FROM " + T, true},
            {"SELECT '\\' ; DELETE FROM " + T + "; --'", true},
            {"SELECT U&'\\0041'; DELETE FROM " + T, true},
            {"BEGIN; DELETE FROM " + T + "; COMMIT", true},
            {"COMMIT", true},
            {"ROLLBACK; DELETE FROM " + T, true},
            {std::string("SELECT 1\0; DELETE FROM ", 23) + T, true},
            {"SELECT * INTO " + S + ".copied FROM " + T, true},
            {"CREATE TABLE " + S + ".copied AS SELECT 1", true},
            {"SELECT * FROM " + T + " FOR UPDATE", true},
            {"SELECT (SELECT v FROM " + T + " LIMIT 1 FOR SHARE)", true},
            {"LOCK " + T, true},
            {"EXPLAIN ANALYZE DELETE FROM " + T, true},
            {"EXPLAIN (ANALYZE, COSTS off) SELECT * FROM " + T, true},
            {"EXPLAIN DELETE FROM " + T, true},
            // Session and transaction control, code blocks, prepared statements.
            {"SET default_transaction_read_only = off", true},
            {"SET LOCAL statement_timeout = 0", true},
            {"SET ROLE NONE", true},
            {"RESET SESSION AUTHORIZATION", true},
            {"DO $$ BEGIN DELETE FROM " + T + "; END $$", true},
            {"CALL " + S + ".wipe()", true},
            {"PREPARE wipe AS DELETE FROM " + T, true},
            {"EXECUTE wipe", true},
            {"LISTEN probe_channel", true},
            {"NOTIFY probe_channel", true},
            {"DISCARD ALL", true},
            {"COPY " + T + " TO PROGRAM 'touch " + d + "/copy_program'", true},
            {"COPY (SELECT 1) TO '" + d + "/copy_file'", true},
            // Functions reaching outside the transaction, however named or placed.
            {"SELECT pg_read_file('/etc/hostname')", true},
            {"SELECT pg_catalog.pg_read_binary_file('/proc/self/environ')", true},
            {"SELECT \"pg_catalog\".\"PG_READ_FILE\"('/etc/hostname')", true},
            {"SELECT U&\"!0070g_read_file\" UESCAPE '!' ('/etc/hostname')", true},
            {"SELECT ('/etc/hostname'::text).pg_read_file", true},
            {"SELECT * FROM pg_ls_dir('.')", true},
            {"SELECT * FROM ROWS FROM (generate_series(1, 2), pg_ls_waldir())", true},
            {"SELECT pg_stat_file('postgresql.conf')", true},
            {"SELECT lo_import('/etc/hostname')", true},
            {"SELECT lo_export(lo_from_bytea(0, 'x'), '" + d + "/lo_out')", true},
            {"SELECT pg_terminate_backend(" + pid + ")", true},
            {"SELECT pg_cancel_backend(" + pid + ")", true},
            {"SELECT pg_advisory_lock(" + k + ")", true},
            {"SELECT pg_try_advisory_lock_shared(" + k + ")", true},
            {"SELECT * FROM " + T + ", LATERAL (SELECT pg_advisory_lock(" + k + ")) l", true},
            {"SELECT 1 UNION ALL SELECT 1 FROM (SELECT pg_advisory_xact_lock(" + k + ")) x", true},
            {"SELECT set_config('default_transaction_read_only', 'off', false)", true},
            {"SELECT nextval('" + S + ".probe_seq')", true},
            {"VALUES ((SELECT setval('" + S + ".probe_seq', 1000)))", true},
            {"SELECT CAST(nextval('" + S + ".probe_seq') AS text)", true},
            {"SELECT * FROM " + T + " WHERE v = ANY (SELECT setval('" + S + ".probe_seq', 99))", true},
            {"SELECT * FROM dblink('" + conn + "', 'DELETE FROM " + T + " RETURNING v') AS t(v int)", true},
            {"SELECT dblink_exec('" + conn + "', 'DELETE FROM " + T + "')", true},
            {"SELECT public.dblink_connect('probe', '" + conn + "')", true},
            {"SELECT pg_file_write('" + d + "/adminpack', 'data', false)", true},
            {"SELECT query_to_xml('DELETE FROM " + T + " RETURNING 1', true, false, '')", true},
            {"SELECT pg_notify('probe_channel', 'x')", true},
            {"SELECT pg_reload_conf()", true},
            {"SELECT pg_create_physical_replication_slot('probe_slot')", true},
            {"SELECT ts_stat('SELECT to_tsvector(note) FROM " + T + "')", true},
            {"SELECT 'x' || repeat('y', 10) FROM (SELECT pg_sleep(0)) s, LATERAL (SELECT lo_creat(-1)) l",
             true},
            {"SELECT '" + std::string(200'000, 'a') + "'", true},
            // Harmless texts the guard lets through: the server must agree they change nothing.
            {"SELECT /* /* nested ; */ DELETE FROM " + T + "; */ count(*) FROM " + T, false},
            {"SELECT $tag$ $$; DELETE FROM " + T + "; $$ $tag$", false},
            {"SELECT E'\\'; DELETE FROM " + T + "; --'", false},
            {"TABLE " + T, false},
            {"SHOW transaction_read_only", false},
            {"SELECT " + S + ".grab()", false},
            {"SELECT pg_sleep(0.01), txid_current_if_assigned()", false},
            {"EXPLAIN SELECT * FROM " + T, false},
            {"SELECT 1" + std::string(40'000, ' ') + "+1", false},
        };
        std::string deep = "SELECT ";
        for (int i = 0; i < 30'000; ++i) deep += "1+";
        a.push_back({deep + "1", false});  // deep enough to exhaust a small parser stack
        return a;
    }

private:
    Server pg_;
    std::unique_ptr<sql::Connection> admin_;
    std::unique_ptr<sql::Connection> victim_;
    std::string schema_;
    std::int64_t victim_pid_ = 0;
    std::filesystem::path dir_;
};

}  // namespace veltaai::testing
