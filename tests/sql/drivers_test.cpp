// The four drivers against real engines: typed decoding, parameters, errors, the guarded
// read-only run and its time limit, and the catalogue. PostgreSQL and MariaDB are the servers
// of scripts/test-servers.sh; ODBC goes through psqlODBC and the SQLite ODBC driver.
#include "tests/sql/server_fixture.h"
#include "veltaai/core/errors.h"
#include "veltaai/sql/mysql.h"
#include "veltaai/sql/odbc.h"
#include "veltaai/sql/postgres.h"
#include "veltaai/sql/sqlite.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

namespace veltaai::sql {
namespace {

using namespace std::chrono_literals;
using testing::ServerEnv;

std::string literals(const Row& row) {
    std::string out;
    for (const Cell& cell : row) out += (out.empty() ? "" : " | ") + python_literal(cell);
    return out;
}

// Statement that must fail with a DatabaseError whose message holds expected.
template <typename F>
void expect_error(F&& run, const std::string& expected) {
    try {
        run();
        ADD_FAILURE() << "no error; expected one mentioning: " << expected;
    } catch (const DatabaseError& error) {
        EXPECT_NE(std::string(error.what()).find(expected), std::string::npos) << error.what();
    }
}

class ServerTest : public testing::ServerFixture {
protected:
    std::unique_ptr<Connection> postgres(const std::string& database = "veltaai_fixtures") {
        return connect_postgres({env.postgres.host,
                                 env.postgres.port,
                                 env.postgres.user,
                                 env.postgres.password,
                                 database,
                                 5s,
                                 {}});
    }
    std::unique_ptr<Connection> mysql(const std::string& database = "veltaai_fixtures") {
        return connect_mysql(
            {env.mysql.host, env.mysql.port, env.mysql.user, env.mysql.password, database, 5s, {}});
    }
    std::unique_ptr<Connection> odbc_postgres(const std::string& database = "veltaai_fixtures") {
        return connect_odbc("DRIVER={PostgreSQL Unicode};SERVER=" + env.postgres.host +
                            ";PORT=" + std::to_string(env.postgres.port) + ";DATABASE=" + database +
                            ";UID=" + env.postgres.user + ";PWD=" + env.postgres.password + ";BoolsAsChar=0");
    }
};

using PostgresDriver = ServerTest;

TEST_F(PostgresDriver, DecodesEveryColumnTypeIntoTypedCells) {
    const Result r = postgres()->execute("SELECT * FROM all_types ORDER BY id");
    ASSERT_EQ(r.rows.size(), 3u);
    EXPECT_EQ(r.columns.at(4), "price");
    EXPECT_EQ(
        literals(r.rows[0]),
        "1 | True | -3 | 9007199254740993 | Decimal('0.99') | 0.5 | 3.141592653589793 | 'Rock' | 'ab   ' | "
        "'line\\nbreak' | b'\\x00\\xffA' | datetime.date(2024, 1, 5) | datetime.time(10, 30) | "
        "datetime.time(10, 30, tzinfo=datetime.timezone(datetime.timedelta(seconds=7200))) | "
        "datetime.datetime(2024, 1, 5, 10, 30) | datetime.datetime(2024, 1, 5, 10, 30, "
        "tzinfo=datetime.timezone.utc) | "
        "datetime.timedelta(days=1, seconds=7200, microseconds=500000) | '{\"a\": 1}' | "
        "'a0eebc99-9c0b-4ef8-bb6d-6bb9bd380a11'");
    EXPECT_EQ(python_literal(r.rows[1][4]), "Decimal('-1234.50')");
    EXPECT_EQ(python_literal(r.rows[1][10]), "b''");
    EXPECT_EQ(python_literal(r.rows[1][14]), "datetime.datetime(1999, 12, 31, 23, 59, 59, 123456)");
    EXPECT_EQ(python_literal(r.rows[1][16]), "datetime.timedelta(days=-1)");
    EXPECT_EQ(python_literal(r.rows[2][6]), "float('nan')");
    EXPECT_TRUE(is_null(r.rows[2][1]));
}

TEST_F(PostgresDriver, BindsParametersAndReportsServerErrors) {
    auto db = postgres();
    const Result r = db->execute("SELECT $1::text, $2::bytea, $3::int IS NULL",
                                 {std::string("it's; -- not code"), Bytes{std::string("\0\1", 2)}, Cell{}});
    EXPECT_EQ(literals(r.rows.at(0)), "\"it's; -- not code\" | b'\\x00\\x01' | True");
    expect_error([&] { db->execute("SELECT * FROM nope"); }, "relation \"nope\" does not exist");
    EXPECT_EQ(db->execute("SELECT 1").rows.size(), 1u);  // the session survives the error
}

TEST_F(PostgresDriver, ConnectionFailuresAreOperationalErrorsWithTheClientMessage) {
    const auto& pg = env.postgres;
    expect_error(
        [&] {
            connect_postgres({pg.host, pg.port, pg.user, "wrong", "veltaai_fixtures", 5s, {}});
        },
        "password authentication failed");
    EXPECT_THROW(connect_postgres({pg.host, 1, pg.user, pg.password, "x", 2s, {}}), OperationalError);
    expect_error(
        [&] {
            connect_postgres({pg.host, pg.port, pg.user, pg.password, "no_such_db", 5s, {}});
        },
        "database \"no_such_db\" does not exist");
}

TEST_F(PostgresDriver, ReadOnlyRunRefusesChangesAndStopsAtItsTimeLimit) {
    auto db = postgres();
    // Refused by the parser's reading before they reach the server.
    expect_error([&] { db->run_read_only("DELETE FROM write_target", 5s); }, "DELETE cannot run here");
    expect_error(
        [&] { db->run_read_only("WITH d AS (DELETE FROM write_target RETURNING *) SELECT * FROM d", 5s); },
        "DELETE inside a query cannot run here");
    const auto start = std::chrono::steady_clock::now();
    expect_error([&] { db->run_read_only("SELECT pg_sleep(5)", 300ms); }, "statement timeout");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    // Nothing of the guard outlives the run: the session writes and waits normally again.
    db->execute("CREATE TEMP TABLE scratch (a int)");
    EXPECT_EQ(db->execute("INSERT INTO scratch VALUES (1)").affected_rows, 1);
    EXPECT_EQ(db->execute("SELECT count(*) FROM write_target").rows.at(0).at(0), Cell(std::int64_t{3}));
}

TEST_F(PostgresDriver, CatalogueListsTheDefaultSchemaWithKeys) {
    auto db = postgres();
    const std::vector<std::string> names = db->table_names();
    EXPECT_NE(std::find(names.begin(), names.end(), "customer_totals"), names.end());
    EXPECT_NE(std::find(names.begin(), names.end(), "Odd Name"), names.end());
    EXPECT_EQ(std::count(names.begin(), names.end(), "orders"), 1);  // other.orders stays out
    for (const TableInfo& t : db->describe_tables()) {
        if (t.name == "orders") {
            ASSERT_EQ(t.columns.size(), 3u);
            EXPECT_EQ(t.columns[2].type, "numeric(10,2)");
            EXPECT_TRUE(t.columns[2].not_null);
            EXPECT_EQ(t.constraints,
                      (std::vector<std::string>{"PRIMARY KEY (order_id)",
                                                "FOREIGN KEY (customer_id) REFERENCES customers(id)"}));
        }
        if (t.name == "no_columns") {
            EXPECT_TRUE(t.columns.empty());
        }
    }
}

TEST_F(PostgresDriver, ReopensASessionTheServerDropped) {
    auto db = postgres();
    const Cell pid = db->execute("SELECT pg_backend_pid()").rows.at(0).at(0);
    postgres()->execute("SELECT pg_terminate_backend($1)", {pid});
    try {
        db->execute("SELECT 1");
    } catch (const OperationalError&) {
        // The first statement may be the one that finds the session gone.
    }
    EXPECT_EQ(db->execute("SELECT 2").rows.at(0).at(0), Cell(std::int64_t{2}));
}

using MysqlDriver = ServerTest;

TEST_F(MysqlDriver, DecodesEveryColumnTypeIntoTypedCells) {
    const Result r = mysql()->execute("SELECT * FROM all_types ORDER BY id");
    ASSERT_EQ(r.rows.size(), 3u);
    EXPECT_EQ(
        literals(r.rows[0]),
        "1 | 1 | -3 | 9007199254740993 | Decimal('0.99') | 0.5 | 3.141592653589793 | 'Rock' | 'line\\nbreak' "
        "| "
        "b'\\x00\\xffA' | b'\\x01\\x02' | datetime.date(2024, 1, 5) | datetime.timedelta(seconds=37800) | "
        "datetime.datetime(2024, 1, 5, 10, 30) | datetime.datetime(2024, 1, 5, 10, 30) | 2024 | b'\\x05' | "
        "'{\"a\": 1}' | 'a'");
    EXPECT_EQ(python_literal(r.rows[1][12]), "datetime.timedelta(days=-1, seconds=82800)");
    EXPECT_EQ(python_literal(r.rows[1][13]), "datetime.datetime(1999, 12, 31, 23, 59, 59, 123456)");
    EXPECT_EQ(python_literal(r.rows[1][6]), "1e+100");
    EXPECT_TRUE(is_null(r.rows[2][4]));
}

TEST_F(MysqlDriver, BindsParametersAsEscapedLiteralsAndReportsErrors) {
    auto db = mysql();
    const Result r =
        db->execute("SELECT ? AS a, ? AS b, '?' AS c", {std::string("it's \\ ?"), std::int64_t{7}});
    EXPECT_EQ(literals(r.rows.at(0)), "\"it's \\\\ ?\" | 7 | '?'");
    expect_error([&] { db->execute("SELECT * FROM nope"); }, "doesn't exist");
    expect_error([&] { db->execute("SELECT ?", {Cell{}, Cell{}}); }, "more parameters than placeholders");
    expect_error(
        [&] {
            connect_mysql({env.mysql.host, env.mysql.port, env.mysql.user, "wrong", "", 5s, {}});
        },
        "Access denied");
    EXPECT_THROW(connect_mysql({env.mysql.host, 1, env.mysql.user, env.mysql.password, "", 2s, {}}),
                 OperationalError);
}

TEST_F(MysqlDriver, ReadOnlyRunStopsDdlAndStatementTimeLimits) {
    auto db = mysql("veltaai_scratch");
    const std::string probe = "ro_probe_" + std::to_string(::getpid());
    db->execute("CREATE TABLE " + probe + " (a INT)");
    // DDL would commit the transaction implicitly; the reader refuses it before the server sees it.
    expect_error([&] { db->run_read_only("DROP TABLE " + probe, 5s); }, "DROP statements cannot run here");
    expect_error([&] { db->run_read_only("SET STATEMENT tx_read_only=0 FOR DROP TABLE " + probe, 5s); },
                 "SET statements cannot run here");
    const auto start = std::chrono::steady_clock::now();
    expect_error([&] { db->run_read_only("SELECT SLEEP(5)", 300ms); }, "max_statement_time exceeded");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    // The session is writable and unhurried again after a guarded run.
    EXPECT_EQ(db->execute("INSERT INTO " + probe + " VALUES (1)").affected_rows, 1);
    EXPECT_EQ(db->execute("SELECT SLEEP(0.4)").rows.at(0).at(0), Cell(std::int64_t{0}));
    db->execute("DROP TABLE " + probe);
}

TEST_F(MysqlDriver, CatalogueBuildsKeyClauses) {
    for (const TableInfo& t : mysql()->describe_tables()) {
        if (t.name != "orders") continue;
        EXPECT_EQ(t.columns.at(2).type, "decimal(10,2)");
        EXPECT_EQ(t.constraints,
                  (std::vector<std::string>{"PRIMARY KEY (`order_id`)",
                                            "FOREIGN KEY (`customer_id`) REFERENCES `customers` (`id`)"}));
        return;
    }
    ADD_FAILURE() << "orders not described";
}

class SqliteDriver : public ::testing::Test {
protected:
    void SetUp() override {
        copy =
            std::filesystem::temp_directory_path() / ("veltaai-sqlite-" + std::to_string(::getpid()) + ".db");
        std::filesystem::copy_file(testing::chinook_sqlite(), copy,
                                   std::filesystem::copy_options::overwrite_existing);
        std::filesystem::permissions(copy, std::filesystem::perms::owner_write,
                                     std::filesystem::perm_options::add);
    }
    void TearDown() override { std::filesystem::remove(copy); }
    std::filesystem::path copy;
};

TEST_F(SqliteDriver, KeepsStorageClassesAndBindsParameters) {
    auto db = connect_sqlite(copy.string());
    const Result r = db->execute(
        "SELECT TrackId, Name, UnitPrice, NULL, x'00ff' FROM Track WHERE TrackId = ?", {std::int64_t{1}});
    EXPECT_EQ(literals(r.rows.at(0)),
              "1 | 'For Those About To Rock (We Salute You)' | 0.99 | None | b'\\x00\\xff'");
    expect_error([&] { db->execute("SELECT * FROM nope"); }, "no such table: nope");
    expect_error(
        [&] {
            connect_sqlite("/nonexistent/dir/x.db", {true, false});
        },
        "unable to open database file");
}

TEST_F(SqliteDriver, ReadOnlyRunRefusesWritesInterruptsLongQueriesAndRestoresTheSession) {
    auto db = connect_sqlite(copy.string());
    // The authorizer refuses writes while the statement is prepared, before query_only would.
    expect_error([&] { db->run_read_only("DELETE FROM Genre", 5s); }, "writing to Genre is not allowed");
    expect_error([&] { db->run_read_only("DROP TABLE Genre", 5s); }, "not authorized");
    const auto start = std::chrono::steady_clock::now();
    expect_error(
        [&] {
            db->run_read_only(
                "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n) SELECT count(*) FROM n",
                200ms);
        },
        "interrupt");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    EXPECT_EQ(db->execute("SELECT count(*) FROM Genre").rows.at(0).at(0), Cell(std::int64_t{25}));
    EXPECT_EQ(db->execute("DELETE FROM Genre WHERE GenreId = 25").affected_rows, 1);
}

using OdbcDriver = ServerTest;

TEST_F(OdbcDriver, ReadsTypedValuesAndUnicodeThroughPsqlOdbc) {
    auto db = odbc_postgres();
    const Result r =
        db->execute("SELECT id, flag, big, price, measure, label, day, moment FROM all_types WHERE id = 1");
    EXPECT_EQ(literals(r.rows.at(0)),
              "1 | True | 9007199254740993 | Decimal('0.99') | 3.141592653589793 | 'Rock' | "
              "datetime.date(2024, 1, 5) | "
              "datetime.datetime(2024, 1, 5, 10, 30)");
    const Result name = odbc_postgres("chinook")->execute("SELECT name FROM artist WHERE artist_id = 22");
    EXPECT_EQ(name.rows.at(0).at(0), Cell(std::string("Led Zeppelin")));
    const Result accented =
        odbc_postgres("chinook")->execute("SELECT name FROM artist WHERE name LIKE 'Mot_rhead'");
    EXPECT_EQ(accented.rows.at(0).at(0), Cell(std::string("Mot\xc3\xb6rhead")));
}

TEST_F(OdbcDriver, GuardedRunIsRolledBackAndTimedOut) {
    auto db = odbc_postgres();
    // psqlODBC talks to PostgreSQL, so PostgreSQL's parser reads the text: SELECT ... INTO would
    // create a table and the CTE would delete rows.
    expect_error([&] { db->run_read_only("SELECT * INTO odbc_copy FROM write_target", 5s); },
                 "SELECT ... INTO creates a table");
    expect_error(
        [&] {
            db->run_read_only("WITH d AS (DELETE FROM write_target RETURNING *) SELECT count(*) FROM d", 5s);
        },
        "DELETE inside a query");
    auto check = postgres();
    EXPECT_EQ(check->execute("SELECT count(*) FROM write_target").rows.at(0).at(0), Cell(std::int64_t{3}));
    EXPECT_TRUE(check->execute("SELECT to_regclass('odbc_copy') IS NULL").rows.at(0).at(0) == Cell(true));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(db->run_read_only("SELECT pg_sleep(5)", 1s), DatabaseError);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 4s);
    EXPECT_EQ(db->execute("SELECT 1").rows.size(), 1u);
}

TEST_F(OdbcDriver, CatalogueAndConnectionFailures) {
    auto db = odbc_postgres();
    const auto names = db->table_names();
    EXPECT_NE(std::find(names.begin(), names.end(), "customers"), names.end());
    EXPECT_EQ(std::count(names.begin(), names.end(), "orders"), 1);
    for (const TableInfo& t : db->describe_tables()) {
        if (t.name == "orders") {
            EXPECT_EQ(t.constraints.at(0), "PRIMARY KEY (\"order_id\")");
            EXPECT_EQ(t.constraints.at(1), "FOREIGN KEY (\"customer_id\") REFERENCES \"customers\" (\"id\")");
        }
    }
    expect_error([&] { connect_odbc("DRIVER={No Such Driver};SERVER=x"); },
                 "Can't open lib 'No Such Driver'");
    // The "SQL Server" name reaches a real driver in the test setup.
    auto sqlserver =
        connect_odbc("DRIVER={SQL Server};SERVER=db1,1433;DATABASE=" + env.odbc_sqlite_db + ";UID=sa;PWD=x");
    EXPECT_EQ(sqlserver->execute("SELECT count(*) FROM Track").rows.at(0).at(0), Cell(std::int64_t{3503}));
}

TEST(OdbcAttributeValue, QuotesOnlyValuesThatNeedIt) {
    EXPECT_EQ(odbc_attribute_value("secret"), "secret");
    EXPECT_EQ(odbc_attribute_value("a;b"), "{a;b}");
    EXPECT_EQ(odbc_attribute_value("x}y{"), "{x}}y{}");
}

}  // namespace
}  // namespace veltaai::sql
