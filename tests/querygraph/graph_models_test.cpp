// A query graph over chat models given per role, as any OpenAI-compatible server serves them:
// every request names its model, the SQL role gets the SQL writing, and the options record
// reaches the graph.
#include "stubs/chat_stub.h"
#include "tests/sql/test_servers.h"
#include "veltaai/core/errors.h"
#include "veltaai/llm/chat_openai.h"
#include "veltaai/querygraph/custom_sql.h"
#include "veltaai/querygraph/querygraph.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>

namespace veltaai::querygraph {
namespace {

const std::string kQuery = "SELECT Name FROM Genre ORDER BY GenreId LIMIT 2";

Value strict_script() {
    const auto forced = [](const std::string& tool, Value reply) {
        reply["match"] = {{"tool", tool}};
        reply["repeat"] = true;
        return reply;
    };
    return {
        {"openai_strict", true},
        {"api_key", "sk-test"},
        {"replies",
         Value::array({
             forced("RelevantTablesOutput", {{"structured", {{"relevant_tables", {"Genre"}}}}}),
             forced("SQLQueryInput", {{"structured", {{"sql_query", kQuery}}}}),
             forced("PythonCodeInput", {{"structured", {{"code", "print('two genres')"}}}}),
             forced("GenerationOutput",
                    {{"structured", {{"image_path", ""}, {"final_response", "Rock, Jazz."}}}}),
             {{"match", {{"any_contains", "You are reviewing a"}}}, {"content", kQuery}, {"repeat", true}},
         })}};
}

std::shared_ptr<llm::ChatModel> model(const stubs::ChatStub& stub, const std::string& name,
                                      const std::string& key) {
    llm::ChatOpenAIOptions options;
    options.base_url = stub.openai_base_url();
    options.openai_api_key = key;
    options.model = name;
    options.settings.temperature = 0;
    return std::make_shared<llm::ChatOpenAI>(std::move(options));
}

std::shared_ptr<CustomSQLDatabase> chinook() {
    return CustomSQLDatabase::from_uri("sqlite:///" + testing::chinook_sqlite());
}

TEST(GraphModels, EveryRoleUsesItsModelAndEveryRequestNamesIt) {
    stubs::ChatStub stub(strict_script());
    QueryGraph graph(chinook(),
                     GraphModels{model(stub, "writer", "sk-test"), model(stub, "helper", "sk-test")});
    EXPECT_EQ(graph.sql_generation_model(), nullptr);  // no Azure deployments behind this graph
    EXPECT_EQ(graph.relevant_table_picker(), nullptr);

    const Value state = graph.invoke(
        {{"user_question", "Two genres?"}, {"save_path", std::filesystem::temp_directory_path().string()}});
    EXPECT_EQ(state["final_response"], "Rock, Jazz.");
    EXPECT_EQ(state["sql_execution_result"].back(), "[('Rock',), ('Jazz',)]");
    EXPECT_EQ(state["python_executed_output"], "two genres\n");

    std::map<std::string, std::set<std::string>> models;
    for (const auto& request : stub.requests()) {
        EXPECT_EQ(request.path, "/v1/chat/completions");
        EXPECT_EQ(request.header("authorization"), "Bearer sk-test");
        const Value choice = request.body.value("tool_choice", Value());
        models[choice.is_object() ? choice["function"]["name"].get<std::string>() : "review"].insert(
            request.body.value("model", std::string("<none>")));
    }
    EXPECT_EQ(models.size(), 5u);
    EXPECT_EQ(models.at("SQLQueryInput"), std::set<std::string>{"writer"});
    for (const char* kind : {"RelevantTablesOutput", "PythonCodeInput", "GenerationOutput", "review"})
        EXPECT_EQ(models.at(kind), std::set<std::string>{"helper"}) << kind;
}

TEST(GraphModels, MissingModelsAndAWrongKeyFailWithTheirCause) {
    stubs::ChatStub stub(strict_script());
    EXPECT_THROW(QueryGraph(chinook(), GraphModels{nullptr, model(stub, "m", "sk-test")}), ValueError);
    EXPECT_THROW(QueryGraph(chinook(), GraphModels{model(stub, "m", "sk-test"), nullptr}), ValueError);

    QueryGraph refused(chinook(), GraphModels{model(stub, "m", "sk-wrong"), model(stub, "m", "sk-wrong")});
    try {
        refused.invoke(
            {{"user_question", "q"}, {"save_path", std::filesystem::temp_directory_path().string()}});
        ADD_FAILURE() << "a refused key must fail the run";
    } catch (const llm::ServiceStatusError& error) {
        EXPECT_EQ(error.status(), 401);
        EXPECT_EQ(error.service_message(), "Incorrect API key provided.");
        EXPECT_EQ(std::string(error.what()).find("sk-wrong"), std::string::npos);
    }
}

TEST(GraphModels, TheOptionsRecordHoldsTheDefaultsAndReachesTheGraph) {
    const QueryGraphOptions defaults;
    EXPECT_EQ(defaults.table_choice_max_tokens, 8192);
    EXPECT_EQ(defaults.sql_max_tokens, 4096);
    EXPECT_EQ(defaults.response_max_tokens, 4096);
    EXPECT_EQ(defaults.analysis_max_tokens, 8192);
    EXPECT_EQ(defaults.picker_max_tokens, 800);
    EXPECT_EQ(defaults.top_p, 0.95);
    EXPECT_EQ(defaults.temperature, 0.0);
    EXPECT_EQ(defaults.recursion_limit, 50);
    EXPECT_EQ(defaults.max_concurrency, 20);

    stubs::ChatStub stub;
    QueryGraphOptions options;
    options.sql_max_tokens = 1000;
    options.top_p = 0.5;
    options.recursion_limit = 7;
    options.max_concurrency = 3;
    QueryGraph graph(chinook(), AzureOpenAIChat35{stub.azure_endpoint(), "k", "v", "d35"},
                     AzureOpenAIChat4{stub.azure_endpoint(), "k", "v", "d4"}, options);
    EXPECT_EQ(graph.sql_generation_model()->settings().max_tokens, 1000);
    EXPECT_EQ(graph.response_model()->settings().max_tokens, 4096);
    EXPECT_EQ(graph.response_model()->settings().model_kwargs, Value::parse(R"({"top_p": 0.5})"));
    EXPECT_EQ(graph.runnable_config().recursion_limit, 7);
    EXPECT_EQ(graph.runnable_config().max_concurrency, 3);
    EXPECT_EQ(graph.models().sql, graph.sql_generation_model());
}

}  // namespace
}  // namespace veltaai::querygraph
