// Client overhead of one structured call against the local chat stub. BM_RawRoundTrip posts
// the same request body with the bare HTTP client (the stub's own time plus transport);
// BM_StructuredCall makes the full call (request building, JSON, retries wrapper, reply
// parsing, binding to the schema, accounting). The difference is the client's overhead.
#include "stubs/chat_stub.h"
#include "veltaai/core/http.h"
#include "veltaai/llm/chat_openai.h"
#include "veltaai/llm/usage.h"

#include <benchmark/benchmark.h>

namespace {

using namespace veltaai;

const llm::StructuredSchema schema{"SQLQueryInput",
                                   {{"sql_query", llm::FieldType::text, "SQL query string to be executed"}}};

Value script() {
    return Value::array({{{"structured", {{"sql_query", "SELECT Name FROM Artist ORDER BY Name LIMIT 10"}}},
                          {"repeat", true},
                          {"model", "gpt-4"}}});
}

llm::ChatMessages messages() {
    return {llm::ChatMessage::system(std::string(1500, 's')),
            llm::ChatMessage::user("List ten artists by name.")};
}

void BM_StructuredCall(benchmark::State& state) {
    stubs::ChatStub stub(script());
    llm::ChatOpenAIOptions options;
    options.openai_api_key = "sk-bench";
    options.model = "gpt-4";
    options.base_url = stub.openai_base_url();
    auto structured = std::make_shared<llm::ChatOpenAI>(options)->with_structured_output(schema);
    const auto prompt = messages();
    llm::UsageScope usage;
    for (auto _ : state) benchmark::DoNotOptimize(structured->invoke(prompt));
    state.counters["tokens"] = static_cast<double>(usage.total_tokens());
}
BENCHMARK(BM_StructuredCall)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_RawRoundTrip(benchmark::State& state) {
    stubs::ChatStub stub(script());
    http::Client client;
    Value body = {{"model", "gpt-4"}, {"messages", Value::array()}, {"temperature", 0.7}};
    for (const auto& message : messages()) body["messages"].push_back(message.to_json());
    body["tools"] =
        Value::array({{{"type", "function"},
                       {"function", {{"name", schema.name}, {"parameters", schema.json_schema()}}}}});
    body["tool_choice"] = {{"type", "function"}, {"function", {{"name", schema.name}}}};
    const std::string text = body.dump();
    const http::Request request{"POST",
                                stub.openai_base_url() + "/chat/completions",
                                {{"Authorization", "Bearer sk-bench"}, {"Content-Type", "application/json"}},
                                text,
                                {}};
    for (auto _ : state) benchmark::DoNotOptimize(client.send(request).status);
}
BENCHMARK(BM_RawRoundTrip)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
