// Ten million rows through CustomSQLDatabase::run: the host's peak resident set stays within
// 64 MiB of what it was before the query, the call returns quickly, and the text ends with
// the cut marker. Each test runs in a process of its own (one ctest entry per test).
#include "tests/sql/peak_memory.h"
#include "tests/sql/test_servers.h"
#include "veltaai/querygraph/custom_sql.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

namespace veltaai::querygraph {
namespace {

using namespace std::chrono_literals;

void expect_bounded(CustomSQLDatabase& db, const std::string& query) {
    db.run("SELECT 1");  // drivers and caches warmed before the baseline
    const long before = testing::peak_rss_kib();
    ASSERT_GT(before, 0);
    const auto start = std::chrono::steady_clock::now();
    const std::string text = db.run(query);
    const auto took = std::chrono::steady_clock::now() - start;
    const long grown = testing::peak_rss_kib() - before;
    // The text limit comes first for these rows; the marker says how many were shown.
    const std::string prefix = "]\n(result cut: showing the first ";
    const std::size_t cut = text.rfind(prefix);
    ASSERT_NE(cut, std::string::npos);
    const std::size_t rows = std::stoul(text.substr(cut + prefix.size()));
    EXPECT_GT(rows, 1000u);
    EXPECT_EQ(text.substr(cut + 1), result_cut_marker(rows));
    EXPECT_LE(cut + 1, 100000u);
    EXPECT_LT(grown, 64 * 1024) << "peak RSS grew by " << grown << " KiB";
    EXPECT_LT(took, 5s);
    std::printf("peak RSS growth %ld KiB, %lld ms\n", grown,
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
}

TEST(BoundedMemory, TenMillionSqliteRows) {
    auto db = CustomSQLDatabase::from_uri("sqlite://");
    expect_bounded(*db,
                   "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 10000000) "
                   "SELECT i, 'row ' || i FROM n");
}

TEST(BoundedMemory, TenMillionMariaDbRows) {
    const auto env = testing::server_env();
    ASSERT_TRUE(env) << testing::kStartServers;
    auto db = CustomSQLDatabase::from_uri("mysql://" + env->mysql.user + ":" + env->mysql.password + "@" +
                                          env->mysql.host + ":" + std::to_string(env->mysql.port) +
                                          "/veltaai_scratch");
    expect_bounded(*db, "SELECT seq, CONCAT('row ', seq) FROM seq_1_to_10000000");
}

}  // namespace
}  // namespace veltaai::querygraph
