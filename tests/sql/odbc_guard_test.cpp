// ODBC's guarded run under attack: through psqlODBC the PostgreSQL rules and a read-only
// transaction opened in SQL; through the SQLite ODBC driver the strict SQLite reading; the
// T-SQL reader for SQL Server and unknown engines, read without a server.
#include "veltaai/sql/odbc_guard.h"
#include "tests/sql/peak_memory.h"
#include "tests/sql/postgres_hostile.h"
#include "tests/sql/server_fixture.h"
#include "veltaai/core/errors.h"
#include "veltaai/sql/mssql_guard.h"
#include "veltaai/sql/odbc.h"
#include "veltaai/sql/sqlite.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>

namespace veltaai::sql {
namespace {

using namespace std::chrono_literals;

// Runs sql guarded; "(ran)" or the error's text.
std::string outcome(Connection& db, const std::string& sql) {
    try {
        db.run_read_only(sql, 5s);
        return "(ran)";
    } catch (const DatabaseError& e) {
        return e.what();
    }
}

class OdbcGuard : public testing::ServerFixture {
protected:
    std::unique_ptr<Connection> psqlodbc() {
        const auto& pg = env.postgres;
        return connect_odbc("DRIVER={PostgreSQL Unicode};SERVER=" + pg.host +
                                ";PORT=" + std::to_string(pg.port) +
                                ";DATABASE=veltaai_scratch;UID=" + pg.user + ";PWD=" + pg.password,
                            Dialect::mssql);
    }
};

TEST_F(OdbcGuard, PsqlOdbcGetsPostgresRulesAndAReadOnlyTransaction) {
    testing::PostgresTarget target(env.postgres);
    auto db = psqlodbc();  // the URL said T-SQL; the driver talks to PostgreSQL
    EXPECT_EQ(db->run_read_only("SHOW transaction_read_only", 5s).rows.at(0).at(0), Cell(std::string("on")));
    std::vector<testing::Attack> attacks = target.attacks();
    // Texts psqlODBC itself might split where PostgreSQL sees one literal.
    const std::string T = target.t();
    attacks.push_back({"SELECT $$;COMMIT;DELETE FROM " + T + ";COMMIT;$$", false});
    attacks.push_back({"SELECT $x$';COMMIT;DELETE FROM " + T + ";COMMIT;'$x$", false});
    attacks.push_back({"SELECT E'\\';COMMIT;DELETE FROM " + T + ";COMMIT;--'", false});
    attacks.push_back({"SELECT '{fn user()}', \"{call x}\" FROM (SELECT 1 AS \"{call x}\") s", false});
    attacks.push_back({"SELECT {fn pg_read_file('/etc/hostname')}", true});
    attacks.push_back({"{call " + target.schema() + ".wipe()}", true});
    attacks.push_back({"SELECT setval('" + target.schema() + ".probe_seq', 77)", true});
    ASSERT_GE(attacks.size(), 40u);
    for (const testing::Attack& attack : attacks) {
        SCOPED_TRACE(attack.sql.substr(0, 160));
        const std::string before = target.snapshot();
        const std::string result = outcome(*db, attack.sql);
        if (attack.refused) {
            EXPECT_EQ(result.rfind("Refused: ", 0), 0u) << result;
        }
        EXPECT_EQ(target.snapshot(), before);
        EXPECT_EQ(db->execute("SELECT current_setting('transaction_read_only')").rows.at(0).at(0),
                  Cell(std::string("off")));
        EXPECT_EQ(db->execute("SELECT 1").rows.size(), 1u);
    }
    // A session lock taken by a function of the database is dropped after the run.
    db->run_read_only("SELECT " + target.schema() + ".grab()", 5s);
    EXPECT_EQ(target.connect()
                  ->execute("SELECT count(*) FROM pg_locks WHERE locktype = 'advisory' AND objid = " +
                            std::to_string(target.key()))
                  .rows.at(0)
                  .at(0),
              Cell(std::int64_t{0}));
    const auto privileges = db->elevated_privileges();
    ASSERT_FALSE(privileges.empty());
    EXPECT_NE(privileges.front().find("superuser"), std::string::npos);
    // Untrusted SQL under a role of its own, set in SQL inside the transaction.
    const std::string role = "probe_odbc_reader_" + std::to_string(::getpid());
    db->execute("DROP ROLE IF EXISTS " + role);
    db->execute("CREATE ROLE " + role + " NOLOGIN");
    db->set_untrusted_role(role);
    EXPECT_EQ(db->run_read_only("SELECT current_user", 5s).rows.at(0).at(0), Cell(role));
    EXPECT_NE(outcome(*db, "SELECT * FROM " + T).find("permission denied"), std::string::npos);
    for (const std::string& phrase : db->elevated_privileges())
        EXPECT_EQ(phrase.find("superuser"), std::string::npos);
    EXPECT_EQ(db->execute("SELECT current_user").rows.at(0).at(0), Cell(env.postgres.user));
    db->set_untrusted_role("");
    db->execute("DROP ROLE " + role);
}

// Counts rows and asks for no more after limit.
class StopAfter : public RowSink {
public:
    explicit StopAfter(std::size_t limit) : limit_(limit) {}
    void columns(const std::vector<std::string>& names) override { names_ = names; }
    bool row(Row&&) override { return ++rows_ < limit_; }
    std::size_t rows() const { return rows_; }
    const std::vector<std::string>& names() const { return names_; }

private:
    std::size_t limit_;
    std::size_t rows_ = 0;
    std::vector<std::string> names_;
};

TEST_F(OdbcGuard, PsqlOdbcStreamsStopEarlyWithBoundedMemory) {
    auto db = psqlodbc();
    { std::ofstream("/proc/self/clear_refs") << "5"; }
    const long baseline = testing::peak_rss_kib();
    const auto start = std::chrono::steady_clock::now();
    StopAfter sink(10'000);
    db->stream_read_only("SELECT g, repeat('x', 100) AS pad FROM generate_series(1, 10000000) g", 30s, sink);
    EXPECT_EQ(sink.rows(), 10'000u);
    EXPECT_EQ(sink.names(), (std::vector<std::string>{"g", "pad"}));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_LT(testing::peak_rss_kib(), baseline + 64 * 1024);
    // Statements a cursor cannot hold still stream; the time limit holds across fetches.
    StopAfter show(100);
    db->stream_read_only("SHOW transaction_read_only", 5s, show);
    EXPECT_EQ(show.rows(), 1u);
    StopAfter slow(1'000'000);
    const auto slow_start = std::chrono::steady_clock::now();
    EXPECT_THROW(db->stream_read_only("SELECT pg_sleep(0.002) FROM generate_series(1, 100000)", 1s, slow),
                 DatabaseError);
    EXPECT_LT(std::chrono::steady_clock::now() - slow_start, 4s);
    EXPECT_EQ(db->execute("SELECT 1").rows.size(), 1u);
}

// A copy of Chinook behind the SQLite ODBC driver, judged through a native connection.
class SqliteOdbcGuard : public OdbcGuard {
protected:
    void SetUp() override {
        OdbcGuard::SetUp();
        dir = std::filesystem::temp_directory_path() / ("veltaai-odbc-guard-" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir);
        copy = dir / "chinook.sqlite";
        std::filesystem::copy_file(testing::chinook_sqlite(), copy,
                                   std::filesystem::copy_options::overwrite_existing);
        std::filesystem::permissions(copy, std::filesystem::perms::owner_write,
                                     std::filesystem::perm_options::add);
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    std::string snapshot() {
        auto native = connect_sqlite(copy.string());
        const Result r = native->execute(
            "SELECT (SELECT count(*) || ':' || sum(TrackId * length(Name)) FROM Track), (SELECT count(*) "
            "FROM Genre), "
            "(SELECT group_concat(name) FROM sqlite_master), (SELECT user_version FROM pragma_user_version)");
        std::string out;
        for (const Cell& c : r.rows.at(0)) out += display_text(c) + " | ";
        for (const auto& entry : std::filesystem::directory_iterator(dir))
            out += entry.path().filename().string() + " ";
        return out;
    }
    std::filesystem::path dir;
    std::filesystem::path copy;
};

TEST_F(SqliteOdbcGuard, SqliteBehindOdbcIsReadStrictly) {
    // Registered under the SQL Server name: the guard follows the engine, not the name.
    auto db = connect_odbc("DRIVER={SQL Server};SERVER=db1,1433;DATABASE=" + copy.string() + ";UID=sa;PWD=x");
    const std::string other = (dir / "attached.db").string();
    const std::vector<testing::Attack> attacks = {
        {"DELETE FROM Genre", true},
        {"DROP TABLE Genre", true},
        {"UPDATE Track SET Name = 'x'", true},
        {"INSERT INTO Genre VALUES (99, 'x')", true},
        {"REPLACE INTO Genre VALUES (1, 'x')", true},
        {"CREATE TABLE t (a)", true},
        {"ALTER TABLE Genre ADD COLUMN x", true},
        {"SELECT 1; DELETE FROM Genre", true},
        {"SELECT 1 /* ; */ ; DELETE FROM Genre", true},
        {"SELECT 1 -- x\n; DELETE FROM Genre", true},
        {"SELECT '; ' ; DELETE FROM Genre; --'", true},
        {"SELECT \"a\"; DELETE FROM Genre", true},
        {"SELECT [a;b]; DELETE FROM Genre", true},
        {"SELECT `a`; DELETE FROM Genre", true},
        {std::string("SELECT 1\0; DELETE FROM Genre", 29), true},
        {"BEGIN; DELETE FROM Genre; COMMIT", true},
        {"COMMIT", true},
        {"END", true},
        {"SAVEPOINT a", true},
        {"ATTACH DATABASE '" + other + "' AS x", true},
        {"SELECT 1 FROM Genre WHERE 1 = 0 ATTACH", true},
        {"DETACH DATABASE main", true},
        {"PRAGMA query_only = 0", true},
        {"PRAGMA writable_schema = 1", true},
        {"SELECT * FROM pragma_table_info('Genre')", true},
        {"VACUUM INTO '" + (dir / "vacuumed.db").string() + "'", true},
        {"REINDEX", true},
        {"ANALYZE", true},
        {"SELECT load_extension('/tmp/x.so')", true},
        {"SELECT \"load_extension\"('/tmp/x.so')", true},
        {"SELECT [LOAD_EXTENSION]('/tmp/x.so')", true},
        {"SELECT `load_extension`('/tmp/x.so')", true},
        {"SELECT fts3_tokenizer('simple')", true},
        {"SELECT fts3_tokenizer('simple', x'4141414141414141')", true},
        {"SELECT writefile('" + (dir / "w").string() + "', 'x')", true},
        {"SELECT readfile('/etc/hostname')", true},
        {"SELECT zeroblob(1000000000)", true},
        {"SELECT length(randomblob(1000000000))", true},
        {"SELECT * FROM sqlite_dbpage", true},
        {"SELECT {fn user()}", true},
        {"{call x()}", true},
        {"WITH d AS (SELECT 1) DELETE FROM Genre", true},
        {"SELECT [a]];DELETE FROM Genre;--]", true},
        // Harmless texts that must read, not write.
        {"SELECT count(*) FROM Genre", false},
        {"SELECT '; DELETE FROM Genre; ', \"Name\" FROM Genre LIMIT 1", false},
        {"SELECT 1 /* DELETE FROM Genre */", false},
        {"WITH g AS (SELECT * FROM Genre) SELECT count(*) FROM g", false},
        {"VALUES (1), (2)", false},
    };
    ASSERT_GE(attacks.size(), 40u);
    for (const testing::Attack& attack : attacks) {
        SCOPED_TRACE(attack.sql.substr(0, 160));
        const std::string before = snapshot();
        const std::string result = outcome(*db, attack.sql);
        if (attack.refused) {
            EXPECT_EQ(result.rfind("Refused: ", 0), 0u) << result;
        } else {
            EXPECT_EQ(result, "(ran)");
        }
        EXPECT_EQ(snapshot(), before);
        EXPECT_EQ(db->execute("SELECT 1").rows.size(), 1u);
    }
}

TEST(OdbcEngines, TheDbmsNamePicksTheRules) {
    EXPECT_EQ(odbc_engine("PostgreSQL"), OdbcEngine::postgresql);
    EXPECT_EQ(odbc_engine("SQLite"), OdbcEngine::sqlite);
    EXPECT_EQ(odbc_engine("Microsoft SQL Server"), OdbcEngine::mssql);
    EXPECT_EQ(odbc_engine("Oracle"), OdbcEngine::unknown);
    EXPECT_EQ(odbc_engine(""), OdbcEngine::unknown);
}

bool tsql_refuses(const std::string& sql, TsqlRules rules = TsqlRules::sql_server) {
    try {
        check_tsql_statement(sql, rules);
        return false;
    } catch (const DatabaseError&) {
        return true;
    }
}

TEST(TsqlReader, RefusesChangingAndExecutingWordsWhereverTheyStand) {
    for (const char* sql : {"SELECT 1 DELETE FROM t",
                            "SELECT 1\nUPDATE t SET a = 1",
                            "SELECT 1 EXEC xp_cmdshell 'dir'",
                            "SELECT 1 EXECUTE('DROP TABLE t')",
                            "sp_configure 'show advanced options', 1",
                            "[sp_who]",
                            "SELECT * FROM OPENROWSET(BULK 'c:\\x', SINGLE_CLOB) x",
                            "SELECT * FROM OPENQUERY(srv, 'SELECT 1')",
                            "SELECT * FROM OPENDATASOURCE('SQLNCLI', 'x').db.dbo.t",
                            "SELECT * INTO #t FROM t",
                            "SELECT 1; DROP TABLE t",
                            "BEGIN TRAN SELECT 1",
                            "SELECT 1 COMMIT",
                            "SELECT 1 ROLLBACK TRANSACTION",
                            "SELECT 1 SAVE TRAN x",
                            "SELECT 1 WAITFOR DELAY '00:00:10'",
                            "SELECT 1 SHUTDOWN",
                            "SELECT 1 KILL 52",
                            "SELECT 1 RECONFIGURE",
                            "SELECT 1 DBCC CHECKDB",
                            "SELECT 1 BACKUP DATABASE x TO DISK = 'c:\\x'",
                            "SELECT 1 USE master",
                            "SELECT 1 SET NOCOUNT ON",
                            "SELECT 1 DECLARE @x int",
                            "SELECT 1\nGO",
                            "SELECT 1 MERGE t USING s ON 1 = 1 WHEN MATCHED THEN DELETE;",
                            "SELECT 1 TRUNCATE TABLE t",
                            "SELECT 1 GRANT SELECT ON t TO x",
                            "SELECT NEXT VALUE FOR s",
                            "SELECT * FROM srv.db.dbo.t",
                            "SELECT * FROM srv.db..t",
                            "SELECT 1 /* /* */ ' */ DELETE FROM t --'",
                            "SELECT 'a' + 'b''' DELETE FROM t",
                            "SELECT [a]]b] DELETE FROM t",
                            "SELECT N'x' DROP TABLE t",
                            "SELECT {fn user()}",
                            "SELECT 1 /* open",
                            "SELECT 'open",
                            "SELECT [open",
                            "INSERT INTO t VALUES (1)",
                            "WITH x AS (SELECT 1) DELETE FROM t",
                            "SELECT * FROM sys.fn_xe_file_target_read_file('c:\\x*.xel', NULL, NULL, NULL)",
                            "SELECT 1\xc2\xa0"
                            "DELETE FROM t",
                            "SELECT 1\xe3\x80\x80"
                            "DROP TABLE t"}) {
        EXPECT_TRUE(tsql_refuses(sql)) << sql;
        EXPECT_TRUE(tsql_refuses(sql, TsqlRules::unknown_engine)) << sql;
    }
}

TEST(TsqlReader, LetsPlainQueriesThroughAndTheStrictRulesRefuseWhatEnginesReadDifferently) {
    for (const char* sql :
         {"SELECT TOP 5 * FROM t ORDER BY a", "SELECT 'DELETE FROM t; EXEC x' AS note",
          "SELECT [delete], \"exec\" FROM t -- DROP TABLE t", "SELECT 1 /* /* DELETE */ ROLLBACK */",
          "WITH c AS (SELECT a FROM dbo.t) SELECT * FROM c", "SELECT a FROM t WITH (NOLOCK);",
          "SELECT CASE WHEN a = 1 THEN 'x' ELSE 'y' END FROM t ORDER BY a OFFSET 1 ROWS FETCH NEXT 2 ROWS "
          "ONLY",
          "(SELECT 1)", "SELECT N'Mot\xc3\xb6rhead' AS [na\xc3\xafve] -- \xc3\xa9"}) {
        EXPECT_FALSE(tsql_refuses(sql)) << sql;
    }
    EXPECT_FALSE(tsql_refuses("SELECT a FROM t -- note", TsqlRules::unknown_engine));
    for (const char* sql :
         {"SELECT 1 --1; DELETE FROM t", "SELECT 1 # '\nDELETE FROM t -- '", "SELECT '\\' ", "SELECT $$ ' $$",
          "SELECT `a`", "SELECT [a]", "SELECT 1 /* /* */ DELETE */", "SELECT 1; SELECT 2"}) {
        EXPECT_TRUE(tsql_refuses(sql, TsqlRules::unknown_engine)) << sql;
    }
}

}  // namespace
}  // namespace veltaai::sql
