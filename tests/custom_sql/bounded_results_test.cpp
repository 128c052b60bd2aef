// What run shows of large results: at most the row and text limits, cut at a row and ended by
// the marker, on SQLite and MariaDB; results within the limits are rendered as they always
// were. Also the one warning a privileged role earns.
#include "tests/sql/server_fixture.h"
#include "veltaai/core/errors.h"
#include "veltaai/core/log.h"
#include "veltaai/querygraph/custom_sql.h"
#include "veltaai/sql/mysql.h"

#include <gtest/gtest.h>
#include <spdlog/logger.h>
#include <spdlog/sinks/ostream_sink.h>

#include <sstream>

namespace veltaai::querygraph {
namespace {

using namespace std::chrono_literals;

constexpr const char* kCounting =
    "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < {n}) SELECT i FROM n";

std::string counting(int n) {
    std::string sql = kCounting;
    return sql.replace(sql.find("{n}"), 3, std::to_string(n));
}

TEST(BoundedResults, RowLimitCutsAtARowAndSaysSo) {
    DatabaseOptions options;
    options.max_rows = 5;
    auto db = CustomSQLDatabase::from_uri("sqlite://", options);
    EXPECT_EQ(db->run(counting(5)), "[(1,), (2,), (3,), (4,), (5,)]");  // exactly the limit: whole
    EXPECT_EQ(db->run(counting(6)), "[(1,), (2,), (3,), (4,), (5,)]" + result_cut_marker(5));
    EXPECT_EQ(db->run(counting(100), "all", true),
              "[{'i': 1}, {'i': 2}, {'i': 3}, {'i': 4}, {'i': 5}]" + result_cut_marker(5));
    EXPECT_EQ(db->run(counting(100), "one"), "[(1,)]");
    EXPECT_NE(result_cut_marker(5).find("showing the first 5 rows"), std::string::npos);
}

TEST(BoundedResults, TextLimitCountsCharactersAndKeepsRowsWhole) {
    DatabaseOptions options;
    options.max_result_chars = 40;
    auto db = CustomSQLDatabase::from_uri("sqlite://", options);
    // Each row is "('Ã©Ã©Ã©',)": 8 characters (11 bytes), 10 with the separator; four rows
    // and the brackets make exactly 40 characters.
    const std::string rows =
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 10) "
        "SELECT '\xc3\xa9\xc3\xa9\xc3\xa9' FROM n";
    const std::string row = "('\xc3\xa9\xc3\xa9\xc3\xa9',)";
    const std::string four = "[" + row + ", " + row + ", " + row + ", " + row + "]";
    EXPECT_EQ(db->run(rows), four + result_cut_marker(4));
    DatabaseOptions wider = options;
    wider.max_result_chars = 49;
    EXPECT_EQ(CustomSQLDatabase::from_uri("sqlite://", wider)->run(rows), four + result_cut_marker(4));
    wider.max_result_chars = 50;
    EXPECT_EQ(CustomSQLDatabase::from_uri("sqlite://", wider)->run(rows),
              "[" + row + ", " + row + ", " + row + ", " + row + ", " + row + "]" + result_cut_marker(5));
    // A first row longer than the limit is still shown, so the model sees what it asked for.
    EXPECT_EQ(db->run("SELECT '" + std::string(100, 'x') + "'"), "[('" + std::string(100, 'x') + "',)]");
}

TEST(BoundedResults, UntrustedRoleIsRefusedWhereTheEngineHasNoSwitch) {
    DatabaseOptions options;
    options.untrusted_role = "reader";
    EXPECT_THROW(CustomSQLDatabase::from_uri("sqlite://", options), ValueError);
}

class MariaHandle : public testing::ServerFixture {
protected:
    std::string uri(const std::string& user, const std::string& password) const {
        return "mysql://" + user + ":" + password + "@" + env.mysql.host + ":" +
               std::to_string(env.mysql.port) + "/veltaai_scratch";
    }
};

TEST_F(MariaHandle, LargeResultsStopAtTheLimitAndTheHandleKeepsAnswering) {
    auto db = CustomSQLDatabase::from_uri(uri(env.mysql.user, env.mysql.password));
    const auto start = std::chrono::steady_clock::now();
    const std::string text = db->run("SELECT seq FROM seq_1_to_10000000");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    const std::string marker = result_cut_marker(10000);
    ASSERT_GE(text.size(), marker.size());
    EXPECT_EQ(text.substr(text.size() - marker.size()), marker);
    EXPECT_EQ(text.rfind("(10000,)]"), text.size() - marker.size() - 9);
    EXPECT_EQ(db->run("SELECT seq FROM seq_1_to_3"), "[(1,), (2,), (3,)]");
    // Wide rows reach the text limit first.
    const std::string wide = db->run("SELECT seq, REPEAT('y', 250) FROM seq_1_to_10000000");
    EXPECT_LE(wide.size(), 100000 + 200u);
    const std::string prefix = "\n(result cut: showing the first ";
    const std::size_t cut = wide.rfind(prefix);
    ASSERT_NE(cut, std::string::npos);
    EXPECT_LT(std::stoul(wide.substr(cut + prefix.size())), 10000u);
}

TEST_F(MariaHandle, PrivilegedRoleIsWarnedAboutOnceAReadOnlyRoleNotAtAll) {
    std::ostringstream captured;
    auto sink = std::make_shared<spdlog::sinks::ostream_sink_mt>(captured);
    auto logger = log::get("veltaai");
    logger->sinks().push_back(sink);
    const std::string ro = "veltaai_ro_" + std::to_string(::getpid());
    auto admin =
        sql::connect_mysql({env.mysql.host, env.mysql.port, env.mysql.user, env.mysql.password, "", 5s, {}});
    admin->execute("CREATE OR REPLACE USER '" + ro + "'@'%' IDENTIFIED BY 'ro-pass'");
    admin->execute("GRANT SELECT ON veltaai_scratch.* TO '" + ro + "'@'%'");
    CustomSQLDatabase::from_uri(uri(ro, "ro-pass"));
    const std::string quiet = captured.str();
    CustomSQLDatabase::from_uri(uri(env.mysql.user, env.mysql.password));
    const std::string loud = captured.str().substr(quiet.size());
    logger->sinks().pop_back();
    admin->execute("DROP USER '" + ro + "'@'%'");
    EXPECT_EQ(quiet, "");
    EXPECT_NE(loud.find("ALL PRIVILEGES on *.*"), std::string::npos) << loud;
    EXPECT_NE(loud.find("read-only role"), std::string::npos);
    EXPECT_EQ(std::count(loud.begin(), loud.end(), '\n'), 1);
}

}  // namespace
}  // namespace veltaai::querygraph
