// Token and cost accounting over real calls to the chat stub: several calls, nested scopes,
// worker threads carried into a run, two runs on two threads, and the price table.
#include "veltaai/llm/usage.h"
#include "stubs/stub_models.h"
#include "veltaai/llm/azure_openai.h"

#include <gtest/gtest.h>

#include <thread>

namespace veltaai::llm {
namespace {

using stubs::ChatStub;

Value reply(long prompt, long completion, const std::string& model) {
    return {{"content", "ok"},
            {"model", model},
            {"usage", {{"prompt_tokens", prompt}, {"completion_tokens", completion}}}};
}

TEST(Usage, ScopeTotalsEveryCallAndItsCost) {
    ChatStub stub(Value::array({reply(50, 50, "gpt-4o"), reply(1000, 500, "gpt-4o"),
                                reply(2000, 0, "gpt-35-turbo"), reply(7, 3, "mystery-model")}));
    auto model = stubs::openai_model(stub);
    model->invoke("before any scope");  // counted nowhere
    {
        UsageScope usage;
        model->invoke("a");
        model->invoke("b");
        model->invoke("c");
        EXPECT_EQ(usage.total_tokens(), 1500 + 2000 + 10);
        EXPECT_EQ(usage.prompt_tokens(), 3007);
        EXPECT_EQ(usage.completion_tokens(), 503);
        EXPECT_EQ(usage.successful_requests(), 3);
        // gpt-4o: 1000 * 0.0025/1k + 500 * 0.01/1k; gpt-35-turbo: 2000 * 0.0015/1k; unknown: 0.
        EXPECT_NEAR(usage.total_cost(), 0.0025 + 0.005 + 0.003, 1e-12);
    }
    EXPECT_EQ(current_usage(), nullptr);
}

TEST(Usage, NestedScopesCountInBothAndFailedCallsInNeither) {
    ChatStub stub(
        Value::array({reply(10, 10, "gpt-4o"), {{"status", 400}, {"error", "bad"}}, reply(1, 1, "gpt-4o")}));
    auto model = stubs::openai_model(stub);
    auto outer = get_openai_callback();
    model->invoke("outer");
    {
        UsageScope inner;
        EXPECT_THROW(model->invoke("fails"), ModelServiceError);
        model->invoke("inner");
        EXPECT_EQ(inner.total_tokens(), 2);
    }
    EXPECT_EQ(outer.total_tokens(), 22);
    EXPECT_EQ(outer.successful_requests(), 2);
}

TEST(Usage, FunctionCallingClientIsCounted) {
    ChatStub stub(Value::array(
        {{{"tool_call", {{"name", "select_relevant_tables"}, {"arguments", R"({"relevant_tables":[]})"}}},
          {"model", "gpt-35-turbo"},
          {"usage", {{"prompt_tokens", 300}, {"completion_tokens", 20}}}}}));
    AzureOpenAI client = AzureOpenAI::from_fields({{"azure_endpoint", stub.azure_endpoint()},
                                                   {"api_key", "k"},
                                                   {"api_version", "v1"},
                                                   {"azure_deployment", "d"}},
                                                  240);
    UsageScope usage;
    CompletionParams params;
    params.messages = Value::array({{{"role", "user"}, {"content", "q"}}});
    client.create(params);
    EXPECT_EQ(usage.total_tokens(), 320);
    EXPECT_NEAR(usage.total_cost(), (300 * 0.0015 + 20 * 0.002) / 1000, 1e-12);
}

TEST(Usage, WorkerThreadsCountOnlyWhenCarriedIntoTheRun) {
    ChatStub stub(Value::array({reply(5, 5, "gpt-4o"), reply(100, 100, "gpt-4o")}));
    auto model = stubs::openai_model(stub);
    UsageScope usage;
    const RunContext context = RunContext::current();
    std::thread carried([&] {
        RunContext::Scope in_run(context);
        model->invoke("carried");
    });
    carried.join();
    std::thread stray([&] { model->invoke("not carried"); });
    stray.join();
    EXPECT_EQ(usage.total_tokens(), 10);
}

TEST(Usage, TwoRunsOnTwoThreadsKeepSeparateTotals) {
    ChatStub stub(Value::array({{{"match", {{"contains", "run A"}}},
                                 {"content", "a"},
                                 {"repeat", true},
                                 {"usage", {{"prompt_tokens", 1}, {"completion_tokens", 0}}}},
                                {{"match", {{"contains", "run B"}}},
                                 {"content", "b"},
                                 {"repeat", true},
                                 {"usage", {{"prompt_tokens", 1000}, {"completion_tokens", 0}}}}}));
    auto model = stubs::openai_model(stub);
    long totals[2] = {0, 0};
    const auto run = [&](int index, const std::string& question, int calls) {
        UsageScope usage;
        for (int i = 0; i < calls; ++i) model->invoke(question);
        totals[index] = usage.total_tokens();
    };
    std::thread a(run, 0, "run A", 20);
    std::thread b(run, 1, "run B", 15);
    a.join();
    b.join();
    EXPECT_EQ(totals[0], 20);
    EXPECT_EQ(totals[1], 15000);
}

TEST(Usage, PriceTableMatchesServiceNames) {
    ASSERT_TRUE(model_price("gpt-4o-mini"));
    EXPECT_DOUBLE_EQ(model_price("gpt-4o-mini")->input_per_1k, 0.00015);
    EXPECT_DOUBLE_EQ(model_price("GPT-4")->output_per_1k, 0.06);
    // Dated snapshots fall back to their family; unknown names have no price.
    EXPECT_DOUBLE_EQ(model_price("gpt-4-turbo-2025-01-01")->input_per_1k, 0.01);
    EXPECT_DOUBLE_EQ(model_price("gpt-35-turbo-9999")->output_per_1k, 0.002);
    EXPECT_FALSE(model_price("gpt-4o-mini-tts"));
    EXPECT_FALSE(model_price("_comment"));
    // Unknown models cost 0 and are reported once, not on every call.
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(call_cost("llama-3", {100, 100, 200}), 0.0);
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("llama-3"), std::string::npos);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(call_cost("llama-3", {1, 1, 2}), 0.0);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

}  // namespace
}  // namespace veltaai::llm
