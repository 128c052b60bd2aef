// Host database utilities against the test servers: settings captured at load, the connection
// test, factories, query execution with its commit rules, and schema listings.
#include "veltaai/dbtool.h"
#include "tests/sql/server_fixture.h"
#include "veltaai/core/errors.h"
#include "veltaai/sql/postgres.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <filesystem>

namespace veltaai::dbtool {
namespace {

using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStdout;
using namespace std::chrono_literals;

// Runs the load probe with exactly the given environment and returns its output lines.
std::vector<std::string> probe(const std::string& environment, const std::string& mode = "settings") {
    // The probe is built next to this test.
    const std::string probe_path =
        (std::filesystem::read_symlink("/proc/self/exe").parent_path() / "dbtool_load_probe").string();
    const std::string command = "env -i " + environment + " " + probe_path + " " + mode;
    FILE* pipe = ::popen(command.c_str(), "r");
    std::string out;
    std::array<char, 4096> buffer{};
    while (pipe && std::fgets(buffer.data(), buffer.size(), pipe)) out += buffer.data();
    if (pipe) ::pclose(pipe);
    std::vector<std::string> lines;
    for (std::size_t start = 0; start < out.size();) {
        const std::size_t end = out.find('\n', start);
        lines.push_back(out.substr(start, end - start));
        start = end == std::string::npos ? out.size() : end + 1;
    }
    return lines;
}

TEST(DbtoolLoad, DefaultsAndEnvironmentAreCapturedOnce) {
    auto lines = probe("");
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(Value::parse(lines[0]),
              Value::parse(
                  R"({"db_name":null,"db_user":"root","db_password":"tarn","db_host":null,"db_port":3306})"));
    EXPECT_EQ(lines[1], "The following configuration variables are invalid: db_name, db_host");
    EXPECT_EQ(lines[2], R"(["db_name","db_host"])");
    // Set but empty is empty, not the default; the port is read like the others.
    lines = probe("db_user= db_password=pw db_host=h db_name=n db_port=5432");
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(
        Value::parse(lines[0]),
        Value::parse(R"({"db_name":"n","db_user":"","db_password":"pw","db_host":"h","db_port":5432})"));
    EXPECT_EQ(lines[1], "The following configuration variables are invalid: db_user");
    // A port that is no port is reported with the others.
    for (const char* written : {"db_port=", "db_port=abc", "db_port=-1", "db_port=70000", "db_port=0"}) {
        lines = probe(std::string("db_user=u db_password=pw db_host=h db_name=n ") + written);
        ASSERT_EQ(lines.size(), 3u) << written;
        EXPECT_EQ(lines[1], "The following configuration variables are invalid: db_port") << written;
        EXPECT_EQ(lines[2], R"(["db_port"])") << written;
    }
}

TEST(DbtoolLoad, ThePostgresUtilitiesWorkFromTheEnvironmentAlone) {
    const auto found = testing::server_env();
    ASSERT_TRUE(found) << testing::kStartServers;
    const auto& pg = found->postgres;
    const std::string environment = "db_user=" + pg.user + " db_password=" + pg.password +
                                    " db_host=" + pg.host +
                                    " db_name=veltaai_fixtures db_port=" + std::to_string(pg.port);
    const auto lines = probe(environment, "pg_query");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(Value::parse(lines[0])["db_port"], pg.port);
    EXPECT_EQ(lines[1], "rows") << lines[1];
    // Without db_port the MySQL default is used, as before: PostgreSQL is not there.
    const auto defaulted = probe("db_user=" + pg.user + " db_password=" + pg.password +
                                     " db_host=" + pg.host + " db_name=veltaai_fixtures",
                                 "pg_query");
    ASSERT_GE(defaulted.size(), 3u);
    EXPECT_EQ(Value::parse(defaulted[0])["db_port"], 3306);
    EXPECT_EQ(defaulted[1].rfind("The error '", 0), 0u) << defaulted[1];
    EXPECT_EQ(defaulted.back(), "absent");
}

TEST(DbtoolLoad, QueryWithoutAHostPrintsTheFactoryLineOnly) {
    const auto lines = probe("", "query");
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1].rfind("Failed to connect to the database: ", 0), 0u) << lines[1];
    EXPECT_EQ(lines[2], "absent");
}

TEST(DbtoolSettings, SetConfigValidatesBeforeChangingAnything) {
    set_database_config("shop", "u", "p", "h", 5432);
    EXPECT_THROW(set_database_config("other", "u", "p", "h", "5433"), ValueError);
    try {
        set_database_config("other", "u", "p", nullptr, 5433);
        FAIL() << "absent host accepted";
    } catch (const ValueError& error) {
        EXPECT_STREQ(error.what(), "All parameters must be provided and 'port' must be an integer.");
    }
    EXPECT_EQ(database_settings().db_name, "shop");
    EXPECT_EQ(database_settings().db_port, 5432);
    // Ports outside 1..65535 are refused, not narrowed into another port.
    for (const Value& port :
         {Value(0), Value(-1), Value(65536), Value(4295022728LL), Value(std::uint64_t{1} << 63)}) {
        try {
            set_database_config("other", "u", "p", "h", port);
            ADD_FAILURE() << "accepted port " << port;
        } catch (const ValueError& error) {
            EXPECT_STREQ(error.what(), "'port' must be a port number from 1 to 65535.") << port;
        }
    }
    EXPECT_EQ(database_settings().db_name, "shop");
    EXPECT_EQ(database_settings().db_port, 5432);
    set_database_config("shop", "u", "p", "h", 65535);
    set_database_config("shop", "u", "p", "h", 1);
    set_database_config("shop", "u", "p", "", 5432);
    CaptureStdout();
    EXPECT_EQ(check_db_config_variables(), std::vector<std::string>{"db_host"});
    EXPECT_EQ(GetCapturedStdout(), "The following configuration variables are invalid: db_host\n");
    set_database_config("shop", "u", "p", "h", 5432);
    CaptureStdout();
    EXPECT_TRUE(check_db_config_variables().empty());
    EXPECT_EQ(GetCapturedStdout(), "All configuration variables are set correctly.\n");
}

TEST(DbtoolConnectionString, SqlServerValuesAreQuotedOnlyWhenNeeded) {
    EXPECT_EQ(mssql_connection_string("sa", "secret", "db1", 1433, "sales"),
              "DRIVER={SQL Server};SERVER=db1,1433;DATABASE=sales;UID=sa;PWD=secret");
    EXPECT_EQ(mssql_connection_string("sa", "p;w}x", "db1", 1433, "sales"),
              "DRIVER={SQL Server};SERVER=db1,1433;DATABASE=sales;UID=sa;PWD={p;w}}x}");
    EXPECT_EQ(mssql_connection_string("sa", "pw", nullptr, 1433, "sales").substr(0, 32),
              "DRIVER={SQL Server};SERVER=None,");
}

class DbtoolServers : public testing::ServerFixture {
protected:
    void use_postgres(const std::string& db = "veltaai_fixtures") {
        set_database_config(db, env.postgres.user, env.postgres.password, env.postgres.host,
                            env.postgres.port);
    }
    void use_mysql(const std::string& db = "veltaai_fixtures") {
        set_database_config(db, env.mysql.user, env.mysql.password, env.mysql.host, env.mysql.port);
    }
    std::unique_ptr<sql::Connection> admin() {
        return sql::connect_postgres({env.postgres.host,
                                      env.postgres.port,
                                      env.postgres.user,
                                      env.postgres.password,
                                      "veltaai_scratch",
                                      5s,
                                      {}});
    }
    std::string scratch = "dbtool_scratch_" + std::to_string(::getpid());
};

TEST_F(DbtoolServers, ConnectionTestAnswersWithStatusTexts) {
    const auto& pg = env.postgres;
    const auto& my = env.mysql;
    CaptureStdout();
    EXPECT_EQ(get_db_connection("mysql", my.user, my.password, my.host, my.port, "veltaai_fixtures"),
              "Unsupported SQL engine specified.");
    EXPECT_EQ(get_db_connection("MySQL", my.user, my.password, my.host, my.port, "veltaai_fixtures"),
              "Success! Connection Established! .");
    const std::string denied =
        get_db_connection("MySQL", my.user, "wrong", my.host, my.port, "veltaai_fixtures");
    EXPECT_EQ(denied.rfind("Failed to connect to MySQL database: ", 0), 0u);
    EXPECT_NE(denied.find("Access denied"), std::string::npos);
    EXPECT_EQ(get_db_connection("PostgreSQL", pg.user, pg.password, pg.host, 1, "x")
                  .rfind("Failed to connect to PostgreSQL database: ", 0),
              0u);
    // The "SQL Server" driver of the test setup is a real SQLite ODBC driver.
    EXPECT_EQ(get_db_connection("MsSQL", "sa", "pw", "db1", 1433, env.odbc_sqlite_db),
              "Success! Connection Established! .");
    EXPECT_EQ(GetCapturedStdout(), "");
    // Nothing stays open on the server afterwards.
    auto count = [&] {
        return admin()
            ->execute("SELECT count(*) FROM pg_stat_activity WHERE datname = 'veltaai_probe'")
            .rows.at(0)
            .at(0);
    };
    EXPECT_EQ(get_db_connection("PostgreSQL", pg.user, pg.password, pg.host, pg.port, "veltaai_probe"),
              "Success! Connection Established! .");
    EXPECT_EQ(count(), sql::Cell(std::int64_t{0}));
}

TEST_F(DbtoolServers, FactoriesPrintTheirFailureLines) {
    CaptureStdout();
    EXPECT_EQ(get_mysql_db_connection(env.mysql.user, "wrong", env.mysql.host, env.mysql.port, "x"), nullptr);
    EXPECT_EQ(get_pgdb_connection(env.postgres.user, "wrong", env.postgres.host, env.postgres.port, "x"),
              nullptr);
    const std::string printed = GetCapturedStdout();
    EXPECT_EQ(printed.rfind("Failed to connect to the database: Access denied", 0), 0u) << printed;
    EXPECT_NE(printed.find("\nThe error '"), std::string::npos);
    EXPECT_NE(
        printed.find("password authentication failed for user \"" + env.postgres.user + "\"' occurred\n"),
        std::string::npos);
    EXPECT_THROW(get_pgdb_connection(env.postgres.user, "x", env.postgres.host, Value::array(), "x"),
                 TypeError);
}

TEST_F(DbtoolServers, PortsOutsideTheRangeAreRefusedByEveryFunction) {
    const auto& pg = env.postgres;
    const auto& my = env.mysql;
    // 4295022728 is 2^32 + 55432: narrowed to an int it would reach whatever listens there.
    for (const Value& port :
         {Value(0), Value(-1), Value(65536), Value(4295022728LL), Value("4295022728"), Value("0")}) {
        CaptureStdout();
        for (const char* engine : {"MySQL", "PostgreSQL", "MsSQL"}) {
            const std::string status =
                get_db_connection(engine, pg.user, pg.password, pg.host, port, "veltaai_fixtures");
            EXPECT_EQ(
                status.rfind(std::string("Failed to connect to ") + engine + " database: invalid port ", 0),
                0u)
                << status;
            EXPECT_NE(status.find("from 1 to 65535"), std::string::npos) << status;
        }
        EXPECT_EQ(get_mysql_db_connection(my.user, my.password, my.host, port, "veltaai_fixtures"), nullptr);
        EXPECT_EQ(get_pgdb_connection(pg.user, pg.password, pg.host, port, "veltaai_fixtures"), nullptr);
        const std::string printed = GetCapturedStdout();
        EXPECT_EQ(printed, "Failed to connect to the database: invalid port " +
                               (port.is_string() ? port.get<std::string>() : port.dump()) +
                               ": a port must be from 1 to 65535\nThe error 'invalid port " +
                               (port.is_string() ? port.get<std::string>() : port.dump()) +
                               ": a port must be from 1 to 65535' occurred\n")
            << port;
    }
    // The real ports still connect, given as integers or digits.
    EXPECT_EQ(get_db_connection("PostgreSQL", pg.user, pg.password, pg.host, std::to_string(pg.port),
                                "veltaai_fixtures"),
              "Success! Connection Established! .");
    EXPECT_NE(get_mysql_db_connection(my.user, my.password, my.host, my.port, "veltaai_fixtures"), nullptr);
}

TEST_F(DbtoolServers, PostgresQueriesReturnRowsOfRowYieldingStatementsAndCommitTheRest) {
    use_postgres("veltaai_scratch");
    auto one = execute_pgdb_query("SELECT 1");
    ASSERT_TRUE(one);
    EXPECT_EQ(*one, std::vector<sql::Row>{{sql::Cell(std::int64_t{1})}});
    auto lower = execute_pgdb_query("  select n, 'x' from generate_series(1, 4) n");
    ASSERT_TRUE(lower);
    EXPECT_EQ(lower->size(), 4u);
    EXPECT_EQ(lower->at(0).at(1), sql::Cell(std::string("x")));
    EXPECT_FALSE(execute_pgdb_query("CREATE TABLE " + scratch + " (id int, v text)"));
    EXPECT_FALSE(execute_pgdb_query("INSERT INTO " + scratch + " VALUES (1, 'a'), (2, 'b')"));
    EXPECT_FALSE(execute_pgdb_query("UPDATE " + scratch + " SET v = 'z' WHERE id = 1"));
    EXPECT_EQ(admin()->execute("SELECT v FROM " + scratch + " WHERE id = 1").rows.at(0).at(0),
              sql::Cell(std::string("z")));
    // Statements that yield rows give them back whatever their first word, and still commit.
    auto with = execute_pgdb_query("WITH t AS (SELECT 5 AS n) SELECT n FROM t");
    ASSERT_TRUE(with);
    EXPECT_EQ(with->at(0).at(0), sql::Cell(std::int64_t{5}));
    auto deleted = execute_pgdb_query("WITH d AS (DELETE FROM " + scratch +
                                      " WHERE id = 2 RETURNING id) SELECT * FROM d");
    ASSERT_TRUE(deleted);
    EXPECT_EQ(deleted->size(), 1u);
    EXPECT_EQ(admin()->execute("SELECT count(*) FROM " + scratch).rows.at(0).at(0),
              sql::Cell(std::int64_t{1}));
    CaptureStdout();
    EXPECT_FALSE(execute_pgdb_query("SELECT * FROM custmers"));
    EXPECT_EQ(
        GetCapturedStdout().rfind("An error occurred while executing the query: relation \"custmers\"", 0),
        0u);
    EXPECT_TRUE(execute_pgdb_query("SELECT 2"));
    EXPECT_FALSE(execute_pgdb_query("DROP TABLE " + scratch));
}

TEST_F(DbtoolServers, MysqlQueriesReturnRecordsAndCommitChanges) {
    use_mysql("veltaai_scratch");
    auto one = execute_mysql_query("SELECT 1");
    ASSERT_TRUE(one);
    ASSERT_EQ(one->size(), 1u);
    EXPECT_EQ(one->at(0).names(), std::vector<std::string>{"1"});
    EXPECT_EQ(one->at(0)["1"], sql::Cell(std::int64_t{1}));
    auto rows = execute_mysql_query("SELECT id, name FROM veltaai_fixtures.customers ORDER BY id");
    ASSERT_TRUE(rows);
    EXPECT_EQ(rows->at(1)["name"], sql::Cell(std::string("Grace")));
    ASSERT_TRUE(execute_mysql_query("CREATE TABLE " + scratch + " (id INT, v TEXT)"));
    ASSERT_TRUE(execute_mysql_query("INSERT INTO " + scratch + " VALUES (1, 'a')"));
    auto updated = execute_mysql_query("UPDATE " + scratch + " SET v = 'z'");
    ASSERT_TRUE(updated);
    EXPECT_TRUE(updated->empty());
    // A separate connection sees the change: it was committed.
    auto seen = execute_mysql_query("SELECT v FROM " + scratch);
    ASSERT_TRUE(seen);
    EXPECT_EQ(seen->at(0)["v"], sql::Cell(std::string("z")));
    CaptureStdout();
    EXPECT_FALSE(execute_mysql_query("SELECT * FROM custmers"));
    EXPECT_EQ(GetCapturedStdout().rfind(
                  "An error occurred while executing the query: Table 'veltaai_scratch.custmers'", 0),
              0u);

    // A procedure that writes, then selects twice: its first row set, the write committed, and
    // the connection still in step for the next statement.
    const std::string procedure = scratch + "_p";
    ASSERT_TRUE(execute_mysql_query("CREATE PROCEDURE " + procedure + "() BEGIN INSERT INTO " + scratch +
                                    " VALUES (2, 'p'); SELECT COUNT(*) AS n FROM " + scratch +
                                    "; SELECT 'second' AS s; END"));
    CaptureStdout();
    auto called = execute_mysql_query("CALL " + procedure + "()");
    EXPECT_EQ(GetCapturedStdout(), "");
    ASSERT_TRUE(called);
    ASSERT_EQ(called->size(), 1u);
    EXPECT_EQ(called->at(0).names(), std::vector<std::string>{"n"});
    EXPECT_EQ(called->at(0)["n"], sql::Cell(std::int64_t{2}));
    auto after = execute_mysql_query("SELECT id FROM " + scratch + " WHERE v = 'p'");
    ASSERT_TRUE(after) << "a separate connection sees the procedure's row";
    EXPECT_EQ(after->size(), 1u);
    execute_mysql_query("DROP PROCEDURE " + procedure);
    execute_mysql_query("DROP TABLE " + scratch);
}

TEST_F(DbtoolServers, PostgresSchemaListsPublicRelationsEachWithItsOwnColumns) {
    use_postgres();
    const Value schema = get_pgdb_schema();
    ASSERT_TRUE(schema.is_object());
    EXPECT_TRUE(schema.contains("customer_totals"));
    EXPECT_EQ(schema["no_columns"], Value::array());
    EXPECT_EQ(schema["customers"],
              Value::parse(R"([{"name":"id","type":"integer"},{"name":"name","type":"character varying"},
                                                     {"name":"city","type":"text"}])"));
    // other.orders (legacy_ref, note) is not listed, and its columns stay out of public.orders.
    ASSERT_EQ(schema["orders"].size(), 3u) << schema["orders"];
    for (const Value& column : schema["orders"]) {
        EXPECT_NE(column["name"], "legacy_ref");
        EXPECT_NE(column["name"], "note");
    }
    EXPECT_EQ(schema["orders"][2], Value::parse(R"({"name":"amount","type":"numeric"})"));
    use_postgres("veltaai_empty");
    EXPECT_EQ(get_pgdb_schema(), Value::object());
}

TEST_F(DbtoolServers, MysqlSchemaQuotesOddTableNames) {
    use_mysql();
    CaptureStdout();
    const Value schema = get_mysql_database_schema();
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_EQ(schema["Odd Name"],
              Value::parse(R"j([{"name":"first col","type":"int(11)"},{"name":"it's","type":"text"}])j"));
    EXPECT_EQ(schema["select"], Value::parse(R"j([{"name":"from","type":"int(11)"}])j"));
    EXPECT_EQ(schema["back`tick"].size(), 1u);
    EXPECT_EQ(schema["orders"][2], Value::parse(R"j({"name":"amount","type":"decimal(10,2)"})j"));
    use_mysql("veltaai_empty");
    EXPECT_EQ(get_mysql_database_schema(), Value::object());
}

TEST_F(DbtoolServers, UnreachableServersGiveNullSchemasAndOnlyTheFactoryLine) {
    set_database_config("x", "u", "p", "127.0.0.1", 1);
    CaptureStdout();
    EXPECT_TRUE(get_mysql_database_schema().is_null());
    EXPECT_TRUE(get_pgdb_schema().is_null());
    const std::string printed = GetCapturedStdout();
    EXPECT_EQ(printed.rfind("Failed to connect to the database: ", 0), 0u) << printed;
    EXPECT_NE(printed.find("\nThe error '"), std::string::npos);
    EXPECT_EQ(printed.find("An error occurred"), std::string::npos);
}

}  // namespace
}  // namespace veltaai::dbtool
