// What the read-only guard costs per statement: the MariaDB reader and the SQLite reader on a
// 2 KB query, SQLite's guarded run against the same statement run plainly (the difference is
// the authorizer, limits, query_only and the rolled-back transaction), and the peak resident
// set and wall time of a ten-million-row query through CustomSQLDatabase::run.
//
// The MariaDB cases need scripts/test-servers.sh start.
#include "tests/sql/peak_memory.h"
#include "tests/sql/test_servers.h"
#include "veltaai/querygraph/custom_sql.h"
#include "veltaai/sql/mysql.h"
#include "veltaai/sql/sqlite.h"
#include "veltaai/sql/statement.h"

#include <benchmark/benchmark.h>

#include <fstream>
#include <iostream>

namespace {

using namespace std::chrono_literals;
using veltaai::querygraph::CustomSQLDatabase;

// A 2 KB analytic query with comments, quoted texts and names, joins and functions.
std::string two_kb_query() {
    std::string sql =
        "/* monthly revenue by genre */\nWITH monthly AS (\n  SELECT g.Name AS genre, "
        "strftime('%Y-%m', i.InvoiceDate) AS month, SUM(il.UnitPrice * il.Quantity) AS revenue\n"
        "  FROM InvoiceLine il JOIN Invoice i ON i.InvoiceId = il.InvoiceId\n"
        "  JOIN Track t ON t.TrackId = il.TrackId JOIN Genre g ON g.GenreId = t.GenreId\n"
        "  WHERE i.BillingCountry IN ('USA', 'Canada', 'it''s; not -- code')\n"
        "  GROUP BY g.Name, month\n)\nSELECT genre, month, revenue";
    int i = 0;
    while (sql.size() < 1900) {
        sql += ",\n  CASE WHEN revenue > " + std::to_string(i) + " THEN 'band " + std::to_string(i) +
               "' ELSE NULL END AS \"band_" + std::to_string(i) + "\" -- column " + std::to_string(i) + "\n";
        ++i;
    }
    sql += "\nFROM monthly WHERE genre <> 'Opera' ORDER BY revenue DESC LIMIT 20";
    return sql;
}

void BM_MysqlReader2KB(benchmark::State& state) {
    const std::string sql = two_kb_query();
    for (auto _ : state)
        benchmark::DoNotOptimize(veltaai::sql::read_only_statement(sql, veltaai::sql::Dialect::mysql));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * sql.size()));
}
BENCHMARK(BM_MysqlReader2KB);

void BM_SqliteReader2KB(benchmark::State& state) {
    const std::string sql = two_kb_query();
    for (auto _ : state)
        benchmark::DoNotOptimize(veltaai::sql::read_only_statement(sql, veltaai::sql::Dialect::sqlite));
}
BENCHMARK(BM_SqliteReader2KB);

std::unique_ptr<veltaai::sql::Connection> chinook() {
    return veltaai::sql::connect_sqlite(veltaai::testing::chinook_sqlite(), {true, false});
}

// The 2 KB query with a false filter: SQLite compiles all of it and reads nothing, so the
// guarded run's extra time is the guard's.
std::string two_kb_empty_query() {
    std::string sql = two_kb_query();
    return sql.replace(sql.find("genre <> 'Opera'"), 16, "1 = 0");
}

void BM_SqlitePlain2KB(benchmark::State& state) {
    auto db = chinook();
    const std::string sql = two_kb_empty_query();
    for (auto _ : state) benchmark::DoNotOptimize(db->execute(sql));
}
BENCHMARK(BM_SqlitePlain2KB);

void BM_SqliteGuarded2KB(benchmark::State& state) {
    auto db = chinook();
    const std::string sql = two_kb_empty_query();
    for (auto _ : state) benchmark::DoNotOptimize(db->run_read_only(sql, 30s));
}
BENCHMARK(BM_SqliteGuarded2KB);

void ten_million(benchmark::State& state, const std::string& uri, const std::string& query) {
    auto db = CustomSQLDatabase::from_uri(uri);
    db->run("SELECT 1");
    const long before = veltaai::testing::peak_rss_kib();
    std::size_t size = 0;
    for (auto _ : state) size = db->run(query).size();
    state.counters["peak_rss_growth_KiB"] = static_cast<double>(veltaai::testing::peak_rss_kib() - before);
    state.counters["text_chars"] = static_cast<double>(size);
}

void BM_TenMillionSqliteRows(benchmark::State& state) {
    ten_million(
        state, "sqlite://",
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 10000000) SELECT i FROM n");
}
BENCHMARK(BM_TenMillionSqliteRows)->Unit(benchmark::kMillisecond);

std::string mysql_uri() {
    static auto env = veltaai::testing::server_env();
    if (!env) {
        std::cerr << veltaai::testing::kStartServers << "\n";
        std::exit(1);
    }
    return "mysql://" + env->mysql.user + ":" + env->mysql.password + "@" + env->mysql.host + ":" +
           std::to_string(env->mysql.port) + "/veltaai_scratch";
}

// Stopped after 10,000 rows: the session is closed and reopened, the server aborts the rest.
void BM_TenMillionMariaDbRows(benchmark::State& state) {
    ten_million(state, mysql_uri(), "SELECT seq FROM seq_1_to_10000000");
}
BENCHMARK(BM_TenMillionMariaDbRows)->Unit(benchmark::kMillisecond);

// What draining the rest instead of closing would cost: every row read and dropped.
void BM_MariaDbDrainTenMillionRows(benchmark::State& state) {
    const auto env = veltaai::testing::server_env();
    auto db = veltaai::sql::connect_mysql(
        {env->mysql.host, env->mysql.port, env->mysql.user, env->mysql.password, "veltaai_scratch", 5s, {}});
    struct Drop final : veltaai::sql::RowSink {
        void columns(const std::vector<std::string>&) override {}
        bool row(veltaai::sql::Row&&) override { return true; }
    } sink;
    for (auto _ : state) db->stream_read_only("SELECT seq FROM seq_1_to_10000000", 60s, sink);
}
BENCHMARK(BM_MariaDbDrainTenMillionRows)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
