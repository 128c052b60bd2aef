// Cost of the runtime itself: the query graph's topology with nodes that do no work, for a
// first-success run (10 steps) and a run through every SQL repair and the rewrite (32 steps).

#include "veltaai/querygraph/querygraph.h"

#include <benchmark/benchmark.h>

#include <sys/resource.h>

namespace veltaai {
namespace {

graph::CompiledGraph zero_cost_graph(bool sql_succeeds) {
    return querygraph::query_topology([sql_succeeds](const std::string& name) -> graph::Node {
               if (name == "sql_execution_node") {
                   return [sql_succeeds](graph::StateView&) {
                       return Value{{"execution_success", sql_succeeds}};
                   };
               }
               if (name == "pandas_executor_node") {
                   return [](graph::StateView&) { return Value{{"python_execution_success", true}}; };
               }
               return [](graph::StateView&) { return Value(); };
           })
        .compile();
}

void run_graph(benchmark::State& state, bool sql_succeeds, int expected_iterations) {
    const graph::CompiledGraph compiled = zero_cost_graph(sql_succeeds);
    const Value input = {{"user_question", "How many albums are there?"}, {"save_path", "/tmp/media"}};
    const graph::RunConfig config;
    for (auto _ : state) {
        Value result = compiled.invoke(input, config);
        if (result["iteration_count"] != expected_iterations) state.SkipWithError("unexpected route");
        benchmark::DoNotOptimize(result);
    }
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    state.counters["peak_rss_kib"] = static_cast<double>(usage.ru_maxrss);
}

void BM_FirstSuccessRun(benchmark::State& state) {
    run_graph(state, true, 0);
}
void BM_RepairAndRewriteRun(benchmark::State& state) {
    run_graph(state, false, 5);
}

BENCHMARK(BM_FirstSuccessRun)->Unit(benchmark::kMicrosecond)->Repetitions(10)->ReportAggregatesOnly(true);
BENCHMARK(BM_RepairAndRewriteRun)->Unit(benchmark::kMicrosecond)->Repetitions(10)->ReportAggregatesOnly(true);

}  // namespace
}  // namespace veltaai

BENCHMARK_MAIN();
