// Database handle costs on the test servers: listing and schema text on a 1,000-table
// PostgreSQL schema, and rendering 10,000 Chinook rows as Python literals (against the same
// statement through the driver alone, which is the server's and the wire's share).
//
// Needs scripts/test-servers.sh start; creates database veltaai_bench on first use.
#include "tests/sql/test_servers.h"
#include "veltaai/querygraph/custom_sql.h"
#include "veltaai/sql/postgres.h"
#include "veltaai/sql/sqlite.h"

#include <benchmark/benchmark.h>

#include <iostream>

namespace {

using namespace std::chrono_literals;
using veltaai::querygraph::CustomSQLDatabase;

constexpr int kTables = 1000;
constexpr const char* kTenRows =
    "SELECT t.*, n FROM track t CROSS JOIN generate_series(1, 3) n ORDER BY n, track_id LIMIT 10000";

veltaai::testing::ServerEnv& env() {
    static auto found = veltaai::testing::server_env();
    if (!found) {
        std::cerr << veltaai::testing::kStartServers << "\n";
        std::exit(1);
    }
    return *found;
}

std::string pg_uri(const std::string& db) {
    const auto& pg = env().postgres;
    return "postgresql+psycopg2://" + pg.user + ":" + pg.password + "@" + pg.host + ":" +
           std::to_string(pg.port) + "/" + db;
}

// A schema of kTables tables, each with a key, four columns, a foreign key to its predecessor
// and three rows.
void ensure_bench_schema() {
    const auto& pg = env().postgres;
    auto admin = veltaai::sql::connect_postgres({pg.host, pg.port, pg.user, pg.password, "postgres", 5s, {}});
    if (admin->execute("SELECT 1 FROM pg_database WHERE datname = 'veltaai_bench'").rows.empty()) {
        admin->execute("CREATE DATABASE veltaai_bench");
    }
    auto db =
        veltaai::sql::connect_postgres({pg.host, pg.port, pg.user, pg.password, "veltaai_bench", 5s, {}});
    const auto count =
        db->execute("SELECT count(*) FROM pg_tables WHERE schemaname = 'public'").rows.at(0).at(0);
    if (count == veltaai::sql::Cell(std::int64_t{kTables})) return;
    std::string ddl = "BEGIN;";
    for (int i = 0; i < kTables; ++i) {
        const std::string t = "t" + std::to_string(i);
        ddl += "CREATE TABLE IF NOT EXISTS " + t +
               " (id integer PRIMARY KEY, name varchar(40) NOT NULL, amount numeric(10,2), "
               "created timestamp, parent integer" +
               (i ? " REFERENCES t" + std::to_string(i - 1) + "(id)" : std::string()) + "); INSERT INTO " +
               t +
               " VALUES (1, 'a', 1.50, '2024-01-05', NULL), (2, 'b', 2.50, NULL, NULL), "
               "(3, 'c', NULL, NULL, NULL) ON CONFLICT DO NOTHING;";
    }
    db->execute(ddl + "COMMIT;");
}

std::vector<std::string> ten_tables() {
    std::vector<std::string> names;
    for (int i = 0; i < 10; ++i) names.push_back("t" + std::to_string(i * 97));
    return names;
}

void BM_ListTablesUncached(benchmark::State& state) {
    auto db = CustomSQLDatabase::from_uri(pg_uri("veltaai_bench"));
    for (auto _ : state) {
        db->refresh();
        benchmark::DoNotOptimize(db->get_usable_table_names());
    }
}

void BM_TableInfoTenTablesCold(benchmark::State& state) {
    auto db = CustomSQLDatabase::from_uri(pg_uri("veltaai_bench"));
    const auto names = ten_tables();
    for (auto _ : state) {
        db->refresh();  // listing, reflection of all 1,000 tables and ten sample reads each time
        benchmark::DoNotOptimize(db->get_table_info(names));
    }
}

void BM_TableInfoTenTablesReflected(benchmark::State& state) {
    auto db = CustomSQLDatabase::from_uri(pg_uri("veltaai_bench"));
    const auto names = ten_tables();
    db->get_table_info(names);
    for (auto _ : state) benchmark::DoNotOptimize(db->get_table_info(names));
}

void BM_DriverOnlyTenThousandRows(benchmark::State& state) {
    const auto& pg = env().postgres;
    auto db = veltaai::sql::connect_postgres({pg.host, pg.port, pg.user, pg.password, "chinook", 5s, {}});
    for (auto _ : state) benchmark::DoNotOptimize(db->run_read_only(kTenRows, 30s));
}

void BM_RunTenThousandRows(benchmark::State& state) {
    auto db = CustomSQLDatabase::from_uri(pg_uri("chinook"));
    std::size_t bytes = 0;
    for (auto _ : state) {
        const std::string text = db->run(kTenRows);
        bytes = text.size();
        benchmark::DoNotOptimize(text);
    }
    state.counters["text_bytes"] = static_cast<double>(bytes);
}

void BM_RunTenThousandRowsSqlite(benchmark::State& state) {
    auto db = CustomSQLDatabase::from_uri("sqlite:///" + veltaai::testing::chinook_sqlite());
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            db->run("SELECT * FROM PlaylistTrack JOIN Track USING (TrackId) "
                    "UNION ALL SELECT * FROM PlaylistTrack JOIN Track USING (TrackId) LIMIT 10000"));
    }
}

}  // namespace

BENCHMARK(BM_ListTablesUncached)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TableInfoTenTablesCold)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TableInfoTenTablesReflected)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DriverOnlyTenThousandRows)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RunTenThousandRows)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RunTenThousandRowsSqlite)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    ensure_bench_schema();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
