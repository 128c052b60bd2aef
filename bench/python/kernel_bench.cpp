// Costs of the Python kernel: one warm round trip, a cold start that imports the analysis
// packages, a fork-per-run analysis run, and a warm Jinja2 render of the SQL repair prompt.

#include "veltaai/python/kernel.h"
#include "veltaai/querygraph/querygraph_prompts.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <thread>

using namespace veltaai;

static void KernelRoundTripPrint(benchmark::State& state) {
    python::Kernel kernel;
    kernel.run("pass");
    for (auto _ : state) benchmark::DoNotOptimize(kernel.run("print(1)"));
}
BENCHMARK(KernelRoundTripPrint)->Repetitions(5)->ReportAggregatesOnly(true)->Unit(benchmark::kMicrosecond);

// The analysis kernel: every run forked from the warm parent, whose start-up imported pandas,
// numpy and matplotlib; the run's leftovers are killed before the answer.
static void KernelForkPerRunPrint(benchmark::State& state) {
    python::Kernel kernel(python::default_analysis_kernel_options());
    kernel.run("pass");
    for (auto _ : state) benchmark::DoNotOptimize(kernel.run("print(1)"));
}
BENCHMARK(KernelForkPerRunPrint)->Repetitions(5)->ReportAggregatesOnly(true)->Unit(benchmark::kMicrosecond);

// One run as analysis runs come (seconds apart): the kernel has cleared up the last run and
// forked the next runner while idle (200 ms here). The pause is outside the timing.
static void print_after_idle(benchmark::State& state, python::Kernel& kernel) {
    kernel.run("pass");
    for (auto _ : state) {
        state.PauseTiming();
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        state.ResumeTiming();
        benchmark::DoNotOptimize(kernel.run("print(1)"));
    }
}

static void KernelForkPerRunPrintAfterIdle(benchmark::State& state) {
    python::Kernel kernel(python::default_analysis_kernel_options());
    print_after_idle(state, kernel);
}
BENCHMARK(KernelForkPerRunPrintAfterIdle)
    ->Iterations(20)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

static void KernelRoundTripPrintAfterIdle(benchmark::State& state) {
    python::Kernel kernel;
    print_after_idle(state, kernel);
}
BENCHMARK(KernelRoundTripPrintAfterIdle)
    ->Iterations(20)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

static void KernelColdStartWithPandasAndMatplotlib(benchmark::State& state) {
    for (auto _ : state) {
        python::Kernel kernel(python::default_analysis_kernel_options());
        benchmark::DoNotOptimize(kernel.run("import pandas, matplotlib.pyplot"));
    }
}
BENCHMARK(KernelColdStartWithPandasAndMatplotlib)
    ->Iterations(3)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

static void Jinja2RenderCorrectSqlFivePairs(benchmark::State& state) {
    Value pairs = Value::array();
    for (int i = 1; i <= 5; ++i) {
        pairs.push_back(Value::array(
            {"SELECT name FROM artist LIMIT " + std::to_string(i), "relation \"artist\" does not exist"}));
    }
    const Value variables = {
        {"user_question", "Which artists sell best?"},
        {"schemas_from_relevant_tables", "CREATE TABLE \"Artist\" (\"ArtistId\" INT, \"Name\" TEXT)"},
        {"zipped_queries_errors", pairs}};
    const std::string source(querygraph::CORRECT_SQL_TEMPLATE);
    python::render_jinja2(source, variables);
    for (auto _ : state) benchmark::DoNotOptimize(python::render_jinja2(source, variables));
}
BENCHMARK(Jinja2RenderCorrectSqlFivePairs)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
