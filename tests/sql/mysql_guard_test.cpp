// The MariaDB reader and driver under attack: each hostile statement runs through the guarded
// run against the real server, and a separate session compares tables, checksums, sequences,
// user locks, sessions, global settings, accounts and the files the server could write with
// a snapshot taken before. The handle must still answer afterwards.
#include "veltaai/sql/mysql_guard.h"
#include "tests/sql/attack.h"
#include "tests/sql/server_fixture.h"
#include "veltaai/core/errors.h"
#include "veltaai/sql/mysql.h"
#include "veltaai/sql/statement.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

namespace veltaai::sql {
namespace {

using namespace std::chrono_literals;

std::string replace_all(std::string text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

std::string refusal(std::string_view sql) {
    try {
        check_mysql_query(read_only_statement(sql, Dialect::mysql));
    } catch (const DatabaseError& error) {
        return error.what();
    }
    return {};
}

TEST(MysqlReader, PassesPlainQueriesWhateverTheirQuotingAndComments) {
    for (const char* sql :
         {"SELECT REPLACE(name, 'a', 'b'), INSERT('abc', 1, 1, 'x') FROM t",
          "SELECT CAST(x AS CHAR CHARACTER SET utf8mb4), CONVERT(y USING latin1) FROM t",
          "SELECT 'INTO OUTFILE', \"GET_LOCK('x', 1)\", `into`, `lock` FROM t",
          "SELECT 1 -- INTO OUTFILE\n",
          "SELECT 1 # LOAD_FILE(\n",
          "SELECT 1 /* GET_LOCK( */",
          "SELECT 1--1",
          "SELECT 'it''s', 'a\\'b', \"x\"\"y\", \\N",
          "SELECT * FROM seq_1_to_10",
          "SELECT LASTVAL(s), PREVIOUS VALUE FOR s",
          "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n "
          "WHERE i < 5) SELECT * FROM n",
          "SELECT @@version, @a, @@session.sql_mode",
          "SHOW TABLES",
          "DESCRIBE t",
          "EXPLAIN SELECT 1",
          "(SELECT 1) UNION (SELECT 2)",
          "VALUES (1), (2)",
          "TABLE t",
          "SELECT SLEEP(1)",
          "SELECT * FROM t FOR SYSTEM_TIME ALL",
          "SELECT 'Mot\xc3\xb6rhead', `caf\xc3\xa9` FROM t",
          "SELECT commit, execute, handler, xa, prepare FROM log ORDER BY savepoint DESC"}) {
        EXPECT_EQ(refusal(sql), "") << sql;
    }
}

TEST(MysqlReader, RefusesWhatTheServerWouldRunBeyondAPlainQuery) {
    const std::pair<const char*, const char*> refused[] = {
        {"/*M!999999 SELECT */ EXECUTE IMMEDIATE 'DELETE FROM t'", "executable comments"},
        {"SELECT v FROM t INTO /*!99999 x */ OUTFILE '/tmp/f'", "executable comments"},
        {"SELECT 1 /*m!100000 , LOAD_FILE('/etc/passwd') */", "executable comments"},
        {"SELECT /*+ SET_VAR(sql_mode='ANSI_QUOTES') */ 1", "optimizer hints"},
        {"SELECT v FROM t INTO OUTFILE '/tmp/f'", "INTO cannot be used"},
        {"SELECT 1 INTO @x", "INTO cannot be used"},
        {"SELECT * FROM t FOR UPDATE", "UPDATE cannot be used"},
        {"SELECT * FROM t LOCK IN SHARE MODE", "LOCK cannot be used"},
        {"SELECT * FROM t FOR SHARE", "FOR SHARE cannot be used"},
        {"SELECT * FROM t PROCEDURE ANALYSE()", "PROCEDURE cannot be used"},
        {"SELECT `GET_LOCK`('x', 1)", "GET_LOCK cannot be used"},
        {"SELECT get_lock /* c */ ('x', 1)", "GET_LOCK cannot be used"},
        {"SELECT NEXT VALUE FOR s", "NEXT VALUE FOR cannot be used"},
        {"SELECT sys_exec('id')", "SYS_EXEC cannot be used"},
        {"SELECT @x := 1", ":= cannot be used"},
        {"SET STATEMENT max_statement_time=0 FOR SELECT 1", "SET statements cannot run here"},
        {"WITH d AS (SELECT 1) DELETE FROM t", "DELETE cannot be used"},
        {"WITH d AS (SELECT 1) INSERT t SELECT * FROM d", "INSERT cannot be used"},
        {"SELECT 1 /* unclosed", "unclosed"},
        {"SELECT 'unclosed\\'", "unclosed"},
        {"SELECT `unclosed", "unclosed"},
        {"SELECT 1 /*! ; DELETE FROM t */", "more than one"},
        {"SELECT 1--x\n; DELETE FROM t", "more than one"},
    };
    for (const auto& [sql, expected] : refused) {
        EXPECT_NE(refusal(sql).find(expected), std::string::npos) << sql << " -> " << refusal(sql);
    }
    EXPECT_NE(refusal(std::string_view("SELECT 1\0 DELETE", 16)).find("NUL byte"), std::string::npos);
    EXPECT_NE(refusal("SELECT '\xbf\x27 OR 1 -- '").find("UTF-8"), std::string::npos);
    EXPECT_EQ(refusal("SELECT myudf(1)"), "");
    EXPECT_THROW(check_mysql_query("SELECT MyUdf(1)", {"MYUDF"}), DatabaseError);
}

// The server's view, read through a session of its own.
struct Snapshot {
    std::string rows, checksum, sequence, locks, tables, globals, users, files;
    bool victim_alive = false;
    bool operator==(const Snapshot&) const = default;
};

class MysqlHostile : public testing::ServerFixture {
protected:
    void SetUp() override {
        ServerFixture::SetUp();
        if (HasFatalFailure()) return;
        suffix = std::to_string(::getpid());
        // A database and lock names of this process's own: other tests run beside this one
        // on the same server, and the snapshot must see only what this test could change.
        database = "guard_db_" + suffix;
        connect_mysql(
            {env.mysql.host, env.mysql.port, env.mysql.user, env.mysql.password, "veltaai_scratch", 5s, {}})
            ->execute("CREATE DATABASE IF NOT EXISTS " + database);
        table = "guard_t_" + suffix;
        sequence = "guard_seq_" + suffix;
        dir = std::filesystem::temp_directory_path() / ("veltaai-myguard-" + suffix);
        std::filesystem::create_directories(dir);
        std::filesystem::permissions(dir, std::filesystem::perms::all);
        admin = open();
        admin->execute("CREATE OR REPLACE TABLE " + table + " (id INT PRIMARY KEY, v INT)");
        admin->execute("INSERT INTO " + table + " VALUES (1, 1), (2, 2), (3, 3), (4, 4), (5, 5)");
        admin->execute("CREATE OR REPLACE SEQUENCE " + sequence);
        victim = open();
        victim_id = std::get<std::int64_t>(victim->execute("SELECT CONNECTION_ID()").rows.at(0).at(0));
    }
    void TearDown() override {
        if (admin) {
            admin->execute("DROP TABLE IF EXISTS " + table);
            admin->execute("DROP SEQUENCE IF EXISTS " + sequence);
            admin->execute("DROP DATABASE IF EXISTS " + database);
        }
        std::filesystem::remove_all(dir);
    }
    std::unique_ptr<Connection> open(const std::string& user = "", const std::string& password = "") {
        return connect_mysql({env.mysql.host,
                              env.mysql.port,
                              user.empty() ? env.mysql.user : user,
                              user.empty() ? env.mysql.password : password,
                              database,
                              5s,
                              {}});
    }
    std::string cells(const std::string& sql) {
        std::string out;
        for (const Row& row : admin->execute(sql).rows) {
            for (const Cell& cell : row) out += python_literal(cell) + " ";
            out += "\n";
        }
        return out;
    }
    Snapshot snapshot() {
        Snapshot s;
        s.rows = cells("SELECT * FROM " + table + " ORDER BY id");
        s.checksum = cells("CHECKSUM TABLE " + table);
        s.sequence = cells("SELECT next_not_cached_value FROM " + sequence);
        s.locks =
            cells(expand("SELECT IS_USED_LOCK('veltaai_guard_lock'), IS_USED_LOCK('veltaai_guard_fn')"));
        s.tables = cells("SHOW TABLES");
        s.globals = cells(
            "SELECT @@GLOBAL.max_connections, @@GLOBAL.read_only, @@GLOBAL.sql_mode, @@GLOBAL.general_log");
        s.users = cells("SELECT COUNT(*) FROM mysql.user");
        s.victim_alive = cells("SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE ID = " +
                               std::to_string(victim_id)) == "1 \n";
        for (const auto& entry : std::filesystem::directory_iterator(dir))
            s.files += entry.path().filename().string() + " ";
        return s;
    }
    std::string expand(const std::string& sql) const {
        std::string out =
            replace_all(replace_all(replace_all(replace_all(sql, "{t}", table), "{seq}", sequence), "{dir}",
                                    dir.string()),
                        "{victim}", std::to_string(victim_id));
        out = replace_all(out, "veltaai_guard_lock", "veltaai_guard_lock_" + suffix);
        return replace_all(out, "veltaai_guard_fn", "veltaai_guard_fn_" + suffix);
    }

    std::string suffix, database, table, sequence;
    std::filesystem::path dir;
    std::unique_ptr<Connection> admin, victim;
    std::int64_t victim_id = 0;
};

// Statements the reader must refuse before the server sees them.
const char* const kRefused[] = {
    "/*M!999999 SELECT */ EXECUTE IMMEDIATE 'BEGIN NOT ATOMIC COMMIT; SET SESSION tx_read_only = 0; "
    "DELETE FROM {t} WHERE v = 5; END'",
    "SELECT v FROM {t} INTO /*!99999 x */ OUTFILE '{dir}/f1'",
    "/*!99999 SELECT */ DROP TABLE {t}",
    "/*M!999999 SELECT */ KILL {victim}",
    "/*M!999999 SELECT */ SET GLOBAL max_connections = 7",
    "/*!99999 SELECT */ DO GET_LOCK('veltaai_guard_lock', 0)",
    "/*!99999 SELECT */ PREPARE s FROM 'DELETE FROM {t}'",
    "/*!99999 SELECT 1 */ COMMIT",
    "SELECT 1 /*!99999 , LOAD_FILE('/etc/passwd') */",
    "SELECT v FROM {t} INTO OUTFILE '{dir}/f2'",
    "SELECT v FROM {t} INTO DUMPFILE '{dir}/f3'",
    "SELECT v into outfile '{dir}/f4' FROM {t}",
    "TABLE {t} INTO OUTFILE '{dir}/f5'",
    "VALUES (1) INTO OUTFILE '{dir}/f6'",
    "SELECT 1 FROM DUAL INTO @x",
    "SELECT (SELECT v FROM {t} LIMIT 1 INTO @q)",
    "SELECT LOAD_FILE('/etc/passwd')",
    "SELECT `load_file`('/etc/passwd')",
    "SELECT 1 UNION SELECT LOAD_FILE('/etc/passwd')",
    "SELECT GET_LOCK('veltaai_guard_lock', 0)",
    "SELECT `GET_LOCK`('veltaai_guard_lock', 0)",
    "SELECT * FROM {t} WHERE id = 1 AND get_lock /* x */ ('veltaai_guard_lock', 0)",
    "SELECT RELEASE_ALL_LOCKS()",
    "SELECT IS_USED_LOCK('veltaai_guard_lock')",
    "SELECT BENCHMARK(100000000000, MD5('a'))",
    "SELECT MASTER_POS_WAIT('log', 4, 1)",
    "SELECT MASTER_GTID_WAIT('0-1-100', 1)",
    "SELECT sys_exec('touch {dir}/f7')",
    "SELECT NEXTVAL({seq})",
    "SELECT NEXT VALUE FOR {seq}",
    "SELECT SETVAL({seq}, 1000)",
    "SELECT @x := 1",
    "SET STATEMENT tx_read_only = 0 FOR DELETE FROM {t}",
    "SET GLOBAL max_connections = 7",
    "HANDLER {t} OPEN",
    "LOCK TABLES {t} WRITE",
    "FLUSH TABLES WITH READ LOCK",
    "KILL {victim}",
    "KILL QUERY {victim}",
    "DO GET_LOCK('veltaai_guard_lock', 0)",
    "PREPARE s FROM 'DELETE FROM {t}'",
    "EXECUTE IMMEDIATE 'DELETE FROM {t}'",
    "CALL mysql.nope()",
    "XA START 'veltaai'",
    "BEGIN NOT ATOMIC DELETE FROM {t}; END",
    "LOAD DATA INFILE '/etc/passwd' INTO TABLE {t}",
    "LOAD XML INFILE '/etc/passwd' INTO TABLE {t}",
    "SELECT * FROM {t} FOR UPDATE",
    "SELECT * FROM {t} LOCK IN SHARE MODE",
    "SELECT * FROM {t} PROCEDURE ANALYSE()",
    "SELECT 1; DELETE FROM {t}",
    "SELECT 1 --x\n; DELETE FROM {t}",
    "SELECT 1 /*+ SET_VAR(sql_mode='ANSI') */",
    "WITH d AS (SELECT 1) DELETE FROM {t}",
    "WITH d AS (SELECT 1) UPDATE {t} SET v = 0",
    "CREATE TEMPORARY TABLE tmp_intruder (a INT)",
    "DROP TABLE {t}",
    "ANALYZE TABLE {t}",
    "CREATE USER 'intruder'@'%'",
    "GRANT ALL ON *.* TO 'veltaai'@'%'",
    "SHUTDOWN",
    "SELECT * FROM {t} WHERE v = 1 INTO @a, @b",
    "EXPLAIN SELECT * FROM {t} INTO OUTFILE '{dir}/f8'",
    "DELETE FROM {t}",
};

// Statements that may run (or fail at the server): whatever they do, nothing may change.
const char* const kHarmless[] = {
    "SELECT 'a\\'; DELETE FROM {t}; -- '",
    "SELECT \"a\\\"; DELETE FROM {t}; -- \"",
    "SELECT 1 /* plain comment ; DELETE FROM {t} */",
    "SELECT LOAD_F\xc4\xb0LE('/etc/passwd')",
    "SELECT SLEEP(0.01)",
    "SHOW PROCESSLIST",
    "SELECT * FROM {t} WHERE v = 1 OR 1 = 1 -- ' INTO OUTFILE '{dir}/f9'",
    "EXPLAIN DELETE FROM {t}",
};

TEST_F(MysqlHostile, NoStatementReachesBeyondTheReadOnlyRun) {
    // The snapshot sees what it must: a file written by the trusted session shows up.
    admin->execute("SELECT 1 INTO OUTFILE '" + (dir / "control").string() + "'");
    ASSERT_NE(snapshot().files.find("control"), std::string::npos);
    std::filesystem::remove(dir / "control");
    const Snapshot before = snapshot();
    ASSERT_TRUE(before.victim_alive);
    auto db = open();
    const int tried = testing::run_attack(
        *db, kRefused, kHarmless, [this](const std::string& sql) { return expand(sql); },
        [this] { return snapshot(); });
    EXPECT_GE(tried, 40);
    EXPECT_EQ(db->run_read_only("SELECT COUNT(*) FROM " + table, 2s).rows.at(0).at(0), Cell(std::int64_t{5}));
}

// What the reader cannot see (a stored function's body) is undone by the session reset, and a
// statement MariaDB cuts at its time limit without an error is still reported as cut.
TEST_F(MysqlHostile, SessionStateNeverOutlivesARunAndCutStatementsAreErrors) {
    admin->execute(
        expand("CREATE OR REPLACE FUNCTION guard_take_lock() RETURNS INT "
               "BEGIN SET @leak = 42; RETURN GET_LOCK('veltaai_guard_fn', 0); END"));
    admin->execute(
        "CREATE OR REPLACE FUNCTION guard_spin() RETURNS INT RETURN BENCHMARK(100000000000, MD5('a'))");
    auto db = open();
    EXPECT_EQ(db->run_read_only("SELECT guard_take_lock()", 2s).rows.at(0).at(0), Cell(std::int64_t{1}));
    EXPECT_EQ(cells(expand("SELECT IS_USED_LOCK('veltaai_guard_fn') IS NULL")), "1 \n");
    EXPECT_TRUE(is_null(db->execute("SELECT @leak").rows.at(0).at(0)));
    // The server itself returns [(0,)] here; the driver must not.
    const auto start = std::chrono::steady_clock::now();
    try {
        const Result r = db->run_read_only("SELECT guard_spin()", 300ms);
        ADD_FAILURE() << "a cut statement returned " << r.rows.size() << " rows";
    } catch (const DatabaseError& error) {
        EXPECT_NE(std::string(error.what()).find("max_statement_time exceeded"), std::string::npos)
            << error.what();
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    EXPECT_EQ(db->run_read_only("SELECT 7", 2s).rows.at(0).at(0), Cell(std::int64_t{7}));
    admin->execute("DROP FUNCTION guard_take_lock");
    admin->execute("DROP FUNCTION guard_spin");
}

// A server whose default sql_mode reads "..." as a name and no backslash escapes: the session
// the guard runs in reads them as the reader does.
TEST_F(MysqlHostile, SessionSqlModeMatchesTheReader) {
    const std::string mode =
        std::get<std::string>(admin->execute("SELECT @@GLOBAL.sql_mode").rows.at(0).at(0));
    // ANSI_QUOTES directly, and the combined modes that imply it.
    for (const std::string global : {"ANSI_QUOTES,NO_BACKSLASH_ESCAPES", "ORACLE,NO_BACKSLASH_ESCAPES",
                                     "ANSI", "MSSQL", "POSTGRESQL,DB2,MAXDB"}) {
        SCOPED_TRACE(global);
        admin->execute("SET GLOBAL sql_mode = '" + global + "'");
        std::unique_ptr<Connection> db;
        try {
            db = open();
        } catch (...) {
            admin->execute("SET GLOBAL sql_mode = '" + mode + "'");
            throw;
        }
        admin->execute("SET GLOBAL sql_mode = '" + mode + "'");
        EXPECT_NE(std::get<std::string>(db->execute("SELECT @@SESSION.sql_mode").rows.at(0).at(0))
                      .find("ANSI_QUOTES"),
                  std::string::npos);
        // Under ANSI_QUOTES and no escapes this would be a name, a LOAD_FILE call and a name.
        try {
            const Result r = db->run_read_only("SELECT \"a\\\" , LOAD_FILE('/etc/hostname') , \" AS s", 2s);
            ASSERT_EQ(r.rows.size(), 1u);
            EXPECT_EQ(r.rows[0][0], Cell(std::string("a\" , LOAD_FILE('/etc/hostname') , ")));
        } catch (const DatabaseError& error) {
            ADD_FAILURE() << error.what();
        }
    }
}

TEST_F(MysqlHostile, ElevatedPrivilegesNameWhatTheRoleReaches) {
    const std::vector<std::string> all = open()->elevated_privileges();
    ASSERT_FALSE(all.empty());
    EXPECT_EQ(all.front().rfind("ALL PRIVILEGES", 0), 0u);
    const std::string ro = "veltaai_ro_" + suffix;
    admin->execute("CREATE OR REPLACE USER '" + ro + "'@'%' IDENTIFIED BY 'ro-pass'");
    admin->execute("GRANT SELECT ON " + database + ".* TO '" + ro + "'@'%'");
    auto reader = open(ro, "ro-pass");
    EXPECT_TRUE(reader->elevated_privileges().empty());
    // A read-only role cannot reach files even through what the reader lets by.
    EXPECT_EQ(reader->run_read_only("SELECT COUNT(*) FROM " + table, 2s).rows.at(0).at(0),
              Cell(std::int64_t{5}));
    admin->execute("GRANT FILE, PROCESS ON *.* TO '" + ro + "'@'%'");
    const std::vector<std::string> file = open(ro, "ro-pass")->elevated_privileges();
    ASSERT_EQ(file.size(), 2u);
    EXPECT_EQ(file[0].rfind("FILE: ", 0) == 0 || file[1].rfind("FILE: ", 0) == 0, true);
    admin->execute("DROP USER '" + ro + "'@'%'");
}

// Random runs of quotes, escapes, comment openers and line ends around a LOAD_FILE call or an
// INTO OUTFILE clause: for every text the reader lets through, the server must not have read
// the file nor written one. A trusted session shows both do act when they run.
TEST_F(MysqlHostile, RandomQuotingAndCommentsNeverHideACall) {
    const std::filesystem::path secret = dir / "secret.txt";
    const std::string token = "s3cr3t-" + suffix;
    std::ofstream(secret) << token;
    std::filesystem::permissions(secret, std::filesystem::perms::all);
    const std::string call = "LOAD_FILE('" + secret.string() + "')";
    ASSERT_NE(cells("SELECT " + call).find(token), std::string::npos);
    admin->execute("SELECT 1 INTO OUTFILE '" + (dir / "written").string() + "'");
    ASSERT_TRUE(std::filesystem::exists(dir / "written"));
    std::filesystem::remove(dir / "written");
    const std::vector<std::string> pieces = {"'",  "\"",  "`",  "\\",   "\\'", "''", "\"\"", "-- ",
                                             "--", "#",   "/*", "*/",   "\n",  " ",  ",",    "(",
                                             ")",  "'x'", "1",  "AS a", "\r",  "\t", "*",    "-"};
    auto db = open();
    std::uint32_t seed = 8;
    auto next = [&] { return seed = seed * 1103515245u + 12345u, (seed >> 16) & 0x7fff; };
    int passed = 0;
    for (int n = 0; n < 3000; ++n) {
        std::string sql = "SELECT 1";
        const int before = static_cast<int>(next() % 6), after = static_cast<int>(next() % 3);
        for (int i = 0; i < before; ++i) sql += pieces[next() % pieces.size()];
        sql += next() % 2 ? (next() % 2 ? "," : ", ") + call
                          : (next() % 2 ? "" : " ") + std::string("INTO OUTFILE '") +
                                (dir / ("fz" + std::to_string(n))).string() + "'";
        for (int i = 0; i < after; ++i) sql += pieces[next() % pieces.size()];
        try {
            read_only_statement(sql, Dialect::mysql);
        } catch (const DatabaseError&) {
            continue;
        }
        ++passed;
        try {
            for (const Row& row : db->run_read_only(sql, 2s).rows) {
                for (const Cell& cell : row) {
                    EXPECT_EQ(python_literal(cell).find(token), std::string::npos) << "file read by: " << sql;
                }
            }
        } catch (const DatabaseError&) {
        }
        EXPECT_FALSE(std::filesystem::exists(dir / ("fz" + std::to_string(n)))) << "file written by: " << sql;
    }
    EXPECT_GT(passed, 300);
}

TEST_F(MysqlHostile, StreamStopsEarlyAndTheHandleReconnects) {
    auto db = open();
    struct FirstRows final : RowSink {
        std::size_t seen = 0;
        void columns(const std::vector<std::string>&) override {}
        bool row(Row&&) override { return ++seen < 100; }
    } sink;
    const auto start = std::chrono::steady_clock::now();
    // Named after this process, so that the same query of a test running beside it is not counted.
    const std::string marker = "pad_" + suffix;
    db->stream_read_only("SELECT seq, REPEAT('x', 100) AS " + marker + " FROM seq_1_to_10000000", 30s, sink);
    EXPECT_EQ(sink.seen, 100u);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    EXPECT_EQ(db->run_read_only("SELECT 3", 2s).rows.at(0).at(0), Cell(std::int64_t{3}));
    // The abandoned statement does not keep running on the server.
    std::string running;
    for (int i = 0; i < 50; ++i) {
        running = cells("SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE INFO LIKE '%" + marker +
                        "%' AND INFO NOT LIKE '%PROCESSLIST%'");
        if (running == "0 \n") break;
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_EQ(running, "0 \n");
}

}  // namespace
}  // namespace veltaai::sql
