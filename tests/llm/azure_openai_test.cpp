// The function-calling client against the chat stub: the request it sends and the reply it
// hands back.
#include "veltaai/llm/azure_openai.h"
#include "stubs/chat_stub.h"

#include <gtest/gtest.h>

namespace veltaai::llm {
namespace {

TEST(AzureOpenAIClient, SendsEveryParameterAndReturnsTheReply) {
    stubs::ChatStub stub(Value::array({{{"match", {{"tool", "select_relevant_tables"}}},
                                        {"structured", {{"relevant_tables", {"Album"}}}}}}));
    AzureOpenAI client = AzureOpenAI::from_fields({{"azure_endpoint", stub.azure_endpoint()},
                                                   {"api_key", "fc-key"},
                                                   {"api_version", "2024-05-01-preview"},
                                                   {"azure_deployment", "gpt35"}},
                                                  240);
    EXPECT_EQ(client.timeout(), std::chrono::milliseconds(240000));

    const Value tools =
        Value::parse(R"([{"type":"function","function":{"name":"select_relevant_tables","parameters":{}}}])");
    CompletionParams params;
    params.model = "gpt35";
    params.messages = Value::parse(R"([{"role":"user","content":"Which albums sell best?"}])");
    params.tools = tools;
    params.tool_choice = Value::parse(R"({"type":"function","function":{"name":"select_relevant_tables"}})");
    params.temperature = 0.0;
    params.max_tokens = 800;
    params.top_p = 0.95;
    params.frequency_penalty = 0;
    params.presence_penalty = 0;
    const Value reply = client.create(params);

    const auto function = reply["choices"][0]["message"]["tool_calls"][0]["function"];
    EXPECT_EQ(function["name"], "select_relevant_tables");
    EXPECT_EQ(Value::parse(function["arguments"].get<std::string>()),
              Value::parse(R"({"relevant_tables":["Album"]})"));

    const auto request = stub.requests().at(0);
    EXPECT_EQ(request.path, "/openai/deployments/gpt35/chat/completions");
    EXPECT_EQ(request.query, "api-version=2024-05-01-preview");
    EXPECT_EQ(request.header("api-key"), "fc-key");
    EXPECT_EQ(request.body.dump(), Value({{"model", "gpt35"},
                                          {"messages", params.messages},
                                          {"tools", tools},
                                          {"tool_choice", params.tool_choice},
                                          {"temperature", 0.0},
                                          {"max_tokens", 800},
                                          {"top_p", 0.95},
                                          {"frequency_penalty", 0.0},
                                          {"presence_penalty", 0.0}})
                                       .dump());  // stop: none is not sent
}

TEST(AzureOpenAIClient, ReplyWithoutChoicesIsAnError) {
    stubs::ChatStub stub(Value::array({{{"body", R"({"id": "x", "choices": []})"}}}));
    AzureOpenAI client = AzureOpenAI::from_fields({{"azure_endpoint", stub.azure_endpoint()},
                                                   {"api_key", "k"},
                                                   {"api_version", "v"},
                                                   {"azure_deployment", "d"}},
                                                  5);
    EXPECT_THROW(client.create(CompletionParams{}), ModelServiceError);
    EXPECT_THROW(AzureOpenAI::from_fields({{"azure_endpoint", "x"}}, 0), ValueError);
}

}  // namespace
}  // namespace veltaai::llm
