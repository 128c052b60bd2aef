// The relevant-table picker's per-question work on Chinook (catalogue read, YAML, schema text
// of all eleven tables, tool building) and whole first-success runs of the query graph, with
// every model call answered by the in-process chat stub and analysis code run by a warm kernel.
#include "stubs/chat_stub.h"
#include "tests/sql/test_servers.h"
#include "veltaai/function_calling/base.h"
#include "veltaai/querygraph/custom_sql.h"
#include "veltaai/querygraph/querygraph.h"

#include <benchmark/benchmark.h>

namespace {

using namespace veltaai;

std::shared_ptr<querygraph::CustomSQLDatabase> chinook() {
    return querygraph::CustomSQLDatabase::from_uri("sqlite:///" + testing::chinook_sqlite());
}

Value script() {
    const auto forced = [](const std::string& tool, Value reply) {
        reply["match"] = {{"tool", tool}};
        reply["repeat"] = true;
        return reply;
    };
    const std::string query = "SELECT Name FROM Genre ORDER BY Name LIMIT 5";
    return Value::array({
        forced("select_relevant_tables",
               {{"tool_call",
                 {{"name", "select_relevant_tables"}, {"arguments", {{"relevant_tables", {"Genre"}}}}}}}),
        forced("SQLQueryInput", {{"structured", {{"sql_query", query}}}}),
        forced("PythonCodeInput", {{"structured", {{"code", "print(len('Alternative'))"}}}}),
        forced("GenerationOutput",
               {{"structured", {{"image_path", ""}, {"final_response", "Five genres."}}}}),
        {{"match", {{"any_contains", "You are reviewing a"}}}, {"content", query}, {"repeat", true}},
    });
}

void BM_PickerTools(benchmark::State& state) {
    stubs::ChatStub stub;
    auto db = chinook();
    function_calling::RelevantTablePicker picker(AzureOpenAIChat35{stub.azure_endpoint(), "k", "v", "gpt35"},
                                                 db);
    const std::vector<std::string> names = db->get_usable_table_names();
    for (auto _ : state) benchmark::DoNotOptimize(picker.get_tools(names));
}
BENCHMARK(BM_PickerTools)->Unit(benchmark::kMicrosecond);

void BM_PickerInvoke(benchmark::State& state) {
    stubs::ChatStub stub(script());
    auto db = chinook();
    function_calling::RelevantTablePicker picker(AzureOpenAIChat35{stub.azure_endpoint(), "k", "v", "gpt35"},
                                                 db);
    Value record = {{"user_question", "List the genres."},
                    {"table_names_from_db", "Album, Artist, Genre, Track"}};
    for (auto _ : state) {
        graph::StateView view(record);
        benchmark::DoNotOptimize(picker.invoke(view));
    }
}
BENCHMARK(BM_PickerInvoke)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_QueryGraphFirstSuccess(benchmark::State& state) {
    stubs::ChatStub stub(script());
    querygraph::QueryGraph graph(chinook(), AzureOpenAIChat35{stub.azure_endpoint(), "k", "v", "gpt35"},
                                 AzureOpenAIChat4{stub.azure_endpoint(), "k", "v", "gpt4"});
    const Value input = {{"user_question", "List five genres."}, {"save_path", "/tmp"}};
    graph.invoke(input);  // starts the analysis kernel
    for (auto _ : state) benchmark::DoNotOptimize(graph.invoke(input));
    state.counters["model_calls_per_run"] =
        static_cast<double>(stub.request_count()) / static_cast<double>(state.iterations() + 1);
}
BENCHMARK(BM_QueryGraphFirstSuccess)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
