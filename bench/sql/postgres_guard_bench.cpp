// Cost of the untrusted-SQL guards per statement (PostgreSQL's parser, the T-SQL reader) on a
// 2 KB query, and the host's peak memory while a 10-million-row PostgreSQL result is streamed
// and stopped after 10,000 rows. The stream needs scripts/test-servers.sh start.
#include "tests/sql/peak_memory.h"
#include "tests/sql/test_servers.h"
#include "veltaai/sql/mssql_guard.h"
#include "veltaai/sql/odbc.h"
#include "veltaai/sql/postgres.h"
#include "veltaai/sql/postgres_guard.h"

#include <benchmark/benchmark.h>
#include <pg_query.h>

#include <fstream>
#include <iostream>

namespace {

using namespace std::chrono_literals;

std::string query_of_2kb() {
    std::string q =
        "SELECT c.name, sum(o.amount) AS total, count(*) FILTER (WHERE o.amount > 10) FROM customers c "
        "JOIN orders o ON o.customer_id = c.id WHERE c.city IN ('London', 'Boston') ";
    while (q.size() < 2000)
        q += " AND (o.amount BETWEEN 1 AND 100 OR lower(c.name) LIKE 'a%' OR c.id IN (1, 2, 3))";
    return q + " GROUP BY c.name ORDER BY total DESC";
}

void BM_PostgresGuard(benchmark::State& state) {
    const std::string q = query_of_2kb();
    for (auto _ : state) veltaai::sql::check_postgres_statement(q);
    state.counters["bytes"] = static_cast<double>(q.size());
}
BENCHMARK(BM_PostgresGuard)->Unit(benchmark::kMicrosecond);

// libpg_query's parse alone, for the share of the guard that is PostgreSQL's own parser.
void BM_LibpgQueryParseOnly(benchmark::State& state) {
    const std::string q = query_of_2kb();
    for (auto _ : state) {
        PgQueryParseResult r = pg_query_parse(q.c_str());
        benchmark::DoNotOptimize(r.parse_tree);
        pg_query_free_parse_result(r);
    }
}
BENCHMARK(BM_LibpgQueryParseOnly)->Unit(benchmark::kMicrosecond);

void BM_TsqlReader(benchmark::State& state) {
    const std::string q = query_of_2kb();
    for (auto _ : state) veltaai::sql::check_tsql_statement(q, veltaai::sql::TsqlRules::sql_server);
    state.counters["bytes"] = static_cast<double>(q.size());
}
BENCHMARK(BM_TsqlReader)->Unit(benchmark::kMicrosecond);

class StopAfter : public veltaai::sql::RowSink {
public:
    explicit StopAfter(std::size_t limit) : limit_(limit) {}
    void columns(const std::vector<std::string>&) override {}
    bool row(veltaai::sql::Row&&) override { return ++rows_ < limit_; }

private:
    std::size_t limit_;
    std::size_t rows_ = 0;
};

// Streams ten million rows through db, stopped after 10,000, with the peak resident set above
// the baseline (VmHWM reset first) as a counter.
void stream_ten_million_rows(benchmark::State& state, veltaai::sql::Connection& db) {
    { std::ofstream("/proc/self/clear_refs") << "5"; }
    const long baseline = veltaai::testing::peak_rss_kib();
    for (auto _ : state) {
        StopAfter sink(10'000);
        db.stream_read_only("SELECT g, repeat('x', 100) FROM generate_series(1, 10000000) g", 60s, sink);
    }
    state.counters["peak_rss_above_baseline_MiB"] =
        static_cast<double>(veltaai::testing::peak_rss_kib() - baseline) / 1024.0;
}

void BM_PostgresStreamTenMillionRows(benchmark::State& state) {
    const auto found = veltaai::testing::server_env();
    if (!found) return state.SkipWithError(veltaai::testing::kStartServers);
    const auto& pg = found->postgres;
    auto db =
        veltaai::sql::connect_postgres({pg.host, pg.port, pg.user, pg.password, "veltaai_fixtures", 5s, {}});
    stream_ten_million_rows(state, *db);
}
BENCHMARK(BM_PostgresStreamTenMillionRows)->Unit(benchmark::kMillisecond)->Iterations(3);

// The same through psqlODBC, which reads through a cursor of the read-only transaction.
void BM_PsqlOdbcStreamTenMillionRows(benchmark::State& state) {
    const auto found = veltaai::testing::server_env();
    if (!found) return state.SkipWithError(veltaai::testing::kStartServers);
    const auto& pg = found->postgres;
    auto db = veltaai::sql::connect_odbc("DRIVER={PostgreSQL Unicode};SERVER=" + pg.host +
                                         ";PORT=" + std::to_string(pg.port) +
                                         ";DATABASE=veltaai_fixtures;UID=" + pg.user + ";PWD=" + pg.password);
    stream_ten_million_rows(state, *db);
}
BENCHMARK(BM_PsqlOdbcStreamTenMillionRows)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
