// What the nodes add to a question's run besides the model's own time: building each prompt
// from a state like the one after five failed attempts, and running a typical query. The SQL
// repair and analysis prompts are Jinja2, rendered in the template kernel, so they pay a round
// trip to it; the others are formatted in process. No model is called.
#include "veltaai/llm/chat_openai.h"
#include "veltaai/querygraph/querynodes.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>

namespace {

using namespace veltaai;
using namespace veltaai::querygraph;

std::shared_ptr<CustomSQLDatabase> chinook() {
    const char* source = std::getenv("VELTAAI_SOURCE_DIR");
    const std::filesystem::path root = source ? source : VELTAAI_SOURCE_DIR_DEFAULT;
    return CustomSQLDatabase::from_uri("sqlite:///" +
                                       (root / ".." / "shared/data/chinook/chinook.sqlite").string());
}

std::shared_ptr<llm::ChatModel> unused_model() {
    llm::ChatOpenAIOptions options;
    options.openai_api_key = "sk-bench";
    options.base_url = "http://127.0.0.1:9";  // never called
    return std::make_shared<llm::ChatOpenAI>(options);
}

// The state after five failed attempts, with the schemas of three tables.
Value repair_state(const std::shared_ptr<CustomSQLDatabase>& db) {
    Value record = {{"user_question", "Which five artists earned the most in 2010?"},
                    {"rewritten_question", ""},
                    {"schemas_from_relevant_tables", InfoSQLDatabaseTool(db).run("Artist,Album,Track")},
                    {"sql_generation_prompt_type", "correction"},
                    {"pandas_generation_prompt_type", "generation"},
                    {"save_path", "/tmp/media"},
                    {"generated_sql_query", Value::array()},
                    {"sql_execution_result", Value::array()}};
    for (int i = 0; i < 5; ++i) {
        record["generated_sql_query"].push_back(
            "SELECT ar.Name, SUM(il.UnitPrice * il.Quantity) FROM Artist ar JOIN Album "
            "al USING (ArtistId) JOIN Track t USING (AlbumId) -- attempt " +
            std::to_string(i));
        record["sql_execution_result"].push_back("no such column: il.UnitPrice");
    }
    return record;
}

void BM_SQLGenerationPrompt(benchmark::State& state, const char* mode) {
    auto db = chinook();
    SQLGeneration node(db, unused_model());
    Value record = repair_state(db);
    record["sql_generation_prompt_type"] = mode;
    graph::StateView view(record);
    for (auto _ : state) benchmark::DoNotOptimize(node.generate_messages(view));
}
BENCHMARK_CAPTURE(BM_SQLGenerationPrompt, generation, "generation")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_SQLGenerationPrompt, correction, "correction")
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

// The prompt of a node that writes from the whole state: the analysis code's and the answer's.
template <class Node>
void BM_StatePrompt(benchmark::State& state) {
    auto db = chinook();
    Node node(unused_model());
    Value record = repair_state(db);
    graph::StateView view(record);
    for (auto _ : state) benchmark::DoNotOptimize(node.generate_prompt(view));
}
BENCHMARK_TEMPLATE(BM_StatePrompt, PandasGenerator)
    ->Name("BM_PandasGenerationPrompt")
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_TEMPLATE(BM_StatePrompt, GenerateResponse)
    ->Name("BM_ResponsePrompt")
    ->Unit(benchmark::kMicrosecond);

void BM_SQLExecution(benchmark::State& state) {
    SQLExecution node(chinook());
    Value record = {{"generated_sql_query",
                     {"SELECT g.Name, COUNT(*) AS tracks FROM Track t JOIN Genre g USING (GenreId) "
                      "GROUP BY g.Name ORDER BY tracks DESC LIMIT 20"}}};
    graph::StateView view(record);
    for (auto _ : state) benchmark::DoNotOptimize(node.invoke(view));
}
BENCHMARK(BM_SQLExecution)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
