// The agent front end against the service stub and the chat stub over real HTTP: database
// URLs, the walk over the service's Azure records, and runs of one question with their usage
// reports.
#include "veltaai/agent.h"
#include "../llm/env_guard.h"
#include "../sql/test_servers.h"
#include "stubs/chat_stub.h"
#include "stubs/service_stub.h"
#include "veltaai/graph/state_graph.h"
#include "veltaai/llm/usage.h"
#include "veltaai/querygraph/custom_sql.h"
#include "veltaai/querygraph/querygraph.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>

namespace veltaai::agent {
namespace {

using stubs::ChatStub;
using stubs::ServiceStub;
using ::testing::internal::CaptureStderr;
using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStderr;
using ::testing::internal::GetCapturedStdout;
using veltaai::testing::EnvGuard;

Value azure(const std::string& model, const std::string& endpoint, const std::string& deployment = "dep") {
    return {{"model", model},
            {"deployment_name", deployment},
            {"azure_endpoint", endpoint},
            {"api_key", "azure-secret-key"},
            {"api_version", "2024-02-01"}};
}

std::string sqlite_url() {
    return "sqlite:///" + veltaai::testing::chinook_sqlite();
}

std::filesystem::path scratch(const std::string& name) {
    const auto path =
        std::filesystem::path(::testing::TempDir()) / ("agent-" + std::to_string(getpid()) + "-" + name);
    std::filesystem::remove_all(path);
    return path;
}

TEST(DatabaseUri, EnginesAreCaseSensitiveAndCredentialsSurviveAnyCharacter) {
    EXPECT_EQ(database_uri("PostgreSQL", "shop", "me", "pw", "db.local", "5432"),
              "postgresql+psycopg2://me:pw@db.local:5432/shop");
    EXPECT_EQ(database_uri("MySQL", "shop", "me", "pw", "h", "3306"),
              "mysql+mysqlconnector://me:pw@h:3306/shop");
    EXPECT_EQ(database_uri("MsSQL", "shop", "me", "pw", "h", "1433"), "mssql+pyodbc://me:pw@h:1433/shop");
    for (const char* engine : {"mysql", "postgresql", "MSSQL", ""})
        EXPECT_THROW(database_uri(engine, "shop", "me", "pw", "h", "1"), ValueError) << engine;

    const std::string password = "p@ss:w/rd%41?#x y";
    const auto url =
        querygraph::parse_database_url(database_uri("PostgreSQL", "my db", "u:ser", password, "h", "5432"));
    EXPECT_EQ(url.password, password);
    EXPECT_EQ(url.user, "u:ser");
    EXPECT_EQ(url.host, "h");
    EXPECT_EQ(url.port, 5432);
    EXPECT_EQ(url.database, "my db");
}

TEST(PrepareAgent, ReadyOnlyWithBothFamiliesFromTheService) {
    ServiceStub service(
        Value{{"azure-openais",
               {{"body",
                 {azure("GPT-3.5", "https://first"), azure("gpt-4", "https://lower"),
                  azure("GPT-3.5-turbo", "https://longer"), azure("GPT-4o", "https://four", "4o"),
                  azure("GPT-3.5", "https://second", "later")}}}}});
    EnvGuard url("VELTA_API_URL", service.url());
    CaptureStdout();
    const auto parts = prepare_agent(sqlite_url());
    EXPECT_EQ(GetCapturedStdout(), "Agent is Ready!\n");
    ASSERT_TRUE(parts);
    EXPECT_EQ(parts->custom_sql_db->dialect(), "sqlite");
    const AzureConfigs& configs = parts->configs;
    EXPECT_EQ(configs.config_35.azure_endpoint, "https://second");  // the later record wins
    EXPECT_EQ(configs.config_35.azure_deployment, "later");
    EXPECT_EQ(configs.config_4.to_record(), Value({{"azure_endpoint", "https://four"},
                                                   {"api_key", "azure-secret-key"},
                                                   {"api_version", "2024-02-01"},
                                                   {"azure_deployment", "4o"}}));
    ASSERT_EQ(service.requests().size(), 1u);
    EXPECT_EQ(service.requests()[0].path, "/velta/azure-openais/");

    // Incomplete answers; an absent field is empty, and the status is not examined.
    for (const Value& answer :
         {Value::array(), Value{azure("GPT-3.5", "https://a"), azure("gpt-4", "https://b")},
          Value{azure("GPT-4-turbo", "https://t"), {{"model", "GPT-3.5"}}}}) {
        service.set_answer("azure-openais", 200, answer);
        CaptureStdout();
        EXPECT_EQ(prepare_agent(sqlite_url()), std::nullopt) << answer;
        EXPECT_EQ(GetCapturedStdout(), "Internal Server Error!\n") << answer;
    }
    // A record without its key or deployment cannot be used either.
    Value keyless = azure("GPT-4o", "https://four", "4o");
    keyless["api_key"] = "";
    for (const Value& unusable : {keyless, azure("GPT-4o", "https://four", "")}) {
        service.set_answer("azure-openais", 200, {azure("GPT-3.5", "https://a", "d35"), unusable});
        CaptureStdout();
        EXPECT_EQ(prepare_agent(sqlite_url()), std::nullopt) << unusable;
        EXPECT_EQ(GetCapturedStdout(), "Internal Server Error!\n") << unusable;
    }
    service.set_answer("azure-openais", 500,
                       {azure("GPT-3.5", "https://a", "d35"), azure("GPT-4-32k", "https://b", "d4")});
    CaptureStdout();
    EXPECT_TRUE(prepare_agent(sqlite_url()));
    EXPECT_EQ(GetCapturedStdout(), "Agent is Ready!\n");
}

TEST(CreateAgent, BuildsTheQueryGraphOverAServerDatabase) {
    ServiceStub service(
        Value{{"azure-openais",
               {{"body", {azure("GPT-3.5", "https://a", "d35"), azure("GPT-4-32k", "https://b", "d4")}}}}});
    EnvGuard url("VELTA_API_URL", service.url());
    const auto servers = veltaai::testing::server_env();
    ASSERT_TRUE(servers) << veltaai::testing::kStartServers;
    const auto& pg = servers->postgres;
    CaptureStdout();
    const auto graph =
        create_agent("vk", "PostgreSQL", "veltaai_fixtures", pg.user, pg.password, pg.host, pg.port);
    GetCapturedStdout();
    ASSERT_TRUE(graph);
    EXPECT_EQ(graph->db()->dialect(), "postgresql");
    EXPECT_EQ(graph->sql_generation_model()->deployment(), "d4");
    EXPECT_EQ(graph->response_model()->deployment(), "d35");
}

TEST(PrepareAgent, FailuresReachTheCallerWithNothingPrinted) {
    ServiceStub service;
    EnvGuard url("VELTA_API_URL", service.url());
    CaptureStdout();
    service.set_raw_answer("azure-openais", 200, "<html>not json</html>");
    EXPECT_THROW(prepare_agent(sqlite_url()), ValueError);
    service.set_answer("azure-openais", 200, {{{"deployment_name", "no model"}}});
    EXPECT_THROW(prepare_agent(sqlite_url()), KeyError);
    service.set_answer("azure-openais", 200, {{"detail", "a record, not a list"}});
    EXPECT_THROW(prepare_agent(sqlite_url()), TypeError);
    EXPECT_ANY_THROW(prepare_agent("sqlite:////nonexistent/dir/db.sqlite"));
    service.stop();
    EXPECT_THROW(prepare_agent(sqlite_url()), HttpError);
    EXPECT_EQ(GetCapturedStdout(), "");
}

// A one-node graph whose node asks the chat stub for the answer, so the run makes one real
// model call that the accounting sees.
class OneCallAgent {
public:
    OneCallAgent(const ChatStub& chat, bool with_image_path) {
        llm::ChatOpenAIOptions options;
        options.openai_api_key = "sk-test";
        options.base_url = chat.openai_base_url();
        auto model = std::make_shared<llm::ChatOpenAI>(options);
        graph::StateSchema schema{{"user_question"},
                                  {"save_path"},
                                  {"final_response"},
                                  {"pandas_code"},
                                  {"image_path"},
                                  {"generated_sql_query", graph::MergeRule::append},
                                  {"sql_execution_result", graph::MergeRule::append}};
        graph::StateGraph builder(schema);
        builder.add_node("answer", [model, with_image_path](graph::StateView& state) {
            Value update = {{"final_response", model->invoke(state.at("user_question").get<std::string>())},
                            {"pandas_code", "print(1)"},
                            {"generated_sql_query", {"SELECT 1"}},
                            {"sql_execution_result", {"[(1,)]"}}};
            if (with_image_path) update["image_path"] = nullptr;
            return update;
        });
        builder.add_edge(graph::START, "answer");
        builder.add_edge("answer", graph::END);
        graph_ = std::make_unique<graph::CompiledGraph>(builder.compile());
    }
    Value invoke(const Value& inputs) const { return graph_->invoke(inputs); }

private:
    std::unique_ptr<graph::CompiledGraph> graph_;
};

TEST(RunAgent, SuccessReportsTheRunsTokensAndCost) {
    ChatStub chat(Value{{"model", "gpt-4o"},
                        {"usage", {{"prompt_tokens", 120}, {"completion_tokens", 30}}},
                        {"replies", {{{"content", "There are 275 artists."}}, {{"content", "Still 275."}}}}});
    ServiceStub service;
    EnvGuard url("VELTA_API_URL", service.url());
    const auto agent = std::make_shared<OneCallAgent>(chat, true);
    const auto media = scratch("ok");

    CaptureStdout();
    const Value result = run_agent(agent, "vk-user", "How many artists?", media.string());
    EXPECT_EQ(GetCapturedStdout(), "Success at:Velta1!.\n");
    EXPECT_EQ(result, Value({{"output", "There are 275 artists."},
                             {"python_code", "print(1)"},
                             {"image_path", nullptr},
                             {"generated_query", {"SELECT 1"}},
                             {"sql_execution_result", {"[(1,)]"}}}));
    EXPECT_EQ(chat.requests()[0].body["messages"][0]["content"], "How many artists?");
    const double cost = llm::call_cost("gpt-4o", llm::TokenUsage{120, 30, 150});
    EXPECT_GT(cost, 0.0);
    ASSERT_EQ(service.usage_reports().size(), 1u);
    EXPECT_EQ(service.usage_reports()[0], Value({{"velta_api_key", "vk-user"},
                                                 {"query", "How many artists?"},
                                                 {"tokens", 150},
                                                 {"total_cost", cost}}));

    // Again into the existing directory: fine, and the totals are the second run's alone.
    CaptureStdout();
    EXPECT_EQ(run_agent(agent, "vk-user", "And now?", media.string())["output"], "Still 275.");
    GetCapturedStdout();
    ASSERT_EQ(service.usage_reports().size(), 2u);
    EXPECT_EQ(service.usage_reports()[1]["tokens"], 150);
}

TEST(RunAgent, NoFailureOfTheUsageReportTakesTheAnswerAway) {
    ChatStub chat(Value{{"replies", {{{"content", "There are 275 artists."}, {"repeat", true}}}}});
    ServiceStub service;
    EnvGuard url("VELTA_API_URL", service.url());
    EnvGuard limit("VELTA_API_TIMEOUT", "0.3");
    const auto agent = std::make_shared<OneCallAgent>(chat, true);
    const auto media = scratch("report");
    const Value answer = {{"output", "There are 275 artists."},
                          {"python_code", "print(1)"},
                          {"image_path", nullptr},
                          {"generated_query", {"SELECT 1"}},
                          {"sql_execution_result", {"[(1,)]"}}};

    const auto ask = [&](const std::string& expected_line) {
        CaptureStdout();
        const auto started = std::chrono::steady_clock::now();
        const Value result = run_agent(agent, "vk", "How many artists?", media.string());
        const auto took = std::chrono::steady_clock::now() - started;
        const std::string printed = GetCapturedStdout();
        EXPECT_EQ(result, answer) << expected_line;
        EXPECT_EQ(printed.rfind(expected_line, 0), 0u) << printed;
        EXPECT_EQ(std::count(printed.begin(), printed.end(), '\n'), 1) << printed;
        EXPECT_LT(took, std::chrono::seconds(3)) << expected_line;
    };
    service.set_raw_answer("user_questions", 201, "created, but not JSON");
    ask("An error occurred during the API request: ");
    service.set_answer("user_questions", 500, {{"detail", "down"}});
    ask("Failed at:Velta0! : ");
    service.set_answer("user_questions", 201, {{"id", 1}});
    service.set_stall("user_questions", std::chrono::milliseconds(5000));
    ask("An error occurred during the API request: ");
    EXPECT_EQ(service.usage_reports().size(), 3u);
    service.stop();
    ask("An error occurred during the API request: ");
}

TEST(RunAgent, NoAgentOrAFailedRunReportsNothing) {
    ChatStub chat(Value{{"replies", {{{"content", "answer"}, {"repeat", true}}}}});
    ServiceStub service;
    EnvGuard url("VELTA_API_URL", service.url());
    const auto media = scratch("failed") / "nested" / "media";

    EXPECT_EQ(run_agent(std::shared_ptr<OneCallAgent>(), "vk", "q?", media.string()),
              "Error: No output generated from the agent.");
    EXPECT_TRUE(std::filesystem::is_directory(media));
    EXPECT_EQ(chat.request_count(), 0u);

    // A final state without "image_path".
    CaptureStdout();
    CaptureStderr();
    Value result = run_agent(std::make_shared<OneCallAgent>(chat, false), "vk", "q", media.string());
    const std::string printed = GetCapturedStdout();
    EXPECT_NE(GetCapturedStderr().find("KeyError"), std::string::npos);
    EXPECT_EQ(result, Value({{"output", "An error occurred"}}));
    EXPECT_EQ(printed.rfind("An error occurred when running the agent: ", 0), 0u) << printed;
    EXPECT_NE(printed.find("image_path"), std::string::npos) << printed;

    // A model call that fails mid-run.
    chat.set_script({{{"status", 400}, {"error", "bad request"}, {"repeat", true}}});
    CaptureStdout();
    result = run_agent(std::make_shared<OneCallAgent>(chat, true), "vk", "q", media.string());
    EXPECT_NE(GetCapturedStdout().find("An error occurred when running the agent: "), std::string::npos);
    EXPECT_EQ(result, Value({{"output", "An error occurred"}}));
    EXPECT_EQ(service.request_count(), 0u);

    // The cause of a failure says what a bare key means.
    CaptureStdout();
    CaptureStderr();
    const RunOutcome missing =
        run_question([](const Value&) -> Value { throw KeyError("pandas_code"); }, "q", media.string());
    GetCapturedStdout();
    GetCapturedStderr();
    EXPECT_EQ(missing.error, "pandas_code");
    EXPECT_EQ(missing.error_cause,
              "a step of the run needed 'pandas_code', which the run's state did not hold");
}

// Every kind of model call of the query graph answered by one rule; the queries the model
// writes are given in order, the last one repeating.
Value failing_sql_script(const std::vector<std::string>& queries, const Value& picked = {"Genre"}) {
    const auto forced = [](const std::string& tool, Value reply, bool repeat = true) {
        reply["match"] = {{"tool", tool}};
        reply[repeat ? "repeat" : "times"] = repeat ? Value(true) : Value(1);
        return reply;
    };
    Value script = Value::array(
        {forced("select_relevant_tables",
                {{"tool_call",
                  {{"name", "select_relevant_tables"}, {"arguments", {{"relevant_tables", picked}}}}}})});
    for (std::size_t i = 0; i < queries.size(); ++i)
        script.push_back(
            forced("SQLQueryInput", {{"structured", {{"sql_query", queries[i]}}}}, i + 1 == queries.size()));
    script.push_back(
        forced("RewriteQueryOutput", {{"structured", {{"rewritten_question", "Name the genres."}}}}));
    // The model names a plot although no analysis ran.
    script.push_back(forced(
        "GenerationOutput",
        {{"structured", {{"image_path", "/media/ghost.png"}, {"final_response", "No genre matched."}}}}));
    // The review gives each query back as it came.
    for (const std::string& query : queries)
        script.push_back({{"match", {{"any_contains", query}}},
                          {"content", "```sql\n" + query + "\n```"},
                          {"repeat", true}});
    return script;
}

TEST(RunAgent, SqlThatNeverSucceedsStillGivesTheAnswerAndReportsUsage) {
    // A rejected query first, then one that returns no rows: the last database error is the
    // first query's, although the newest result is the empty one.
    const std::string rejected = "SELECT Nmae FROM Genre";
    const std::string empty = "SELECT Name FROM Genre WHERE GenreId < 0";
    ChatStub chat(Value{{"usage", {{"prompt_tokens", 10}, {"completion_tokens", 5}}},
                        {"replies", failing_sql_script({rejected, empty}, {"genre", "Genres"})}});
    ServiceStub service;
    EnvGuard url("VELTA_API_URL", service.url());
    const auto graph = std::make_shared<querygraph::QueryGraph>(
        querygraph::CustomSQLDatabase::from_uri(sqlite_url()),
        AzureOpenAIChat35{chat.azure_endpoint(), "key-35", "2024-02-01", "d35"},
        AzureOpenAIChat4{chat.azure_endpoint(), "key-4", "2024-02-01", "d4"});
    const auto media = scratch("terminal");

    CaptureStdout();
    const RunOutcome outcome = run_question([&graph](const Value& inputs) { return graph->invoke(inputs); },
                                            "Which genres?", media.string());
    EXPECT_EQ(GetCapturedStdout(), "");
    const Value& result = outcome.result;
    ASSERT_TRUE(result.is_object()) << result;
    EXPECT_EQ(result["output"], "No genre matched.");
    EXPECT_TRUE(result["python_code"].is_null()) << result;
    EXPECT_TRUE(result["image_path"].is_null()) << result;
    ASSERT_EQ(result["generated_query"].size(), 6u) << result;
    EXPECT_EQ(result["generated_query"][0], rejected);
    EXPECT_EQ(result["generated_query"][5], empty);
    ASSERT_GE(result["sql_execution_result"].size(), 6u) << result;
    EXPECT_NE(result["sql_execution_result"][0].get<std::string>().find("no such column: Nmae"),
              std::string::npos);
    EXPECT_EQ(result["sql_execution_result"][5], "None");
    EXPECT_TRUE(outcome.sql_failed);
    ASSERT_TRUE(outcome.last_database_error);
    EXPECT_NE(outcome.last_database_error->find("no such column: Nmae"), std::string::npos);
    // The picker's "genre" found the table Genre, and "Genres" was dropped.
    bool schema_shown = false;
    for (const auto& request : chat.requests()) {
        const Value choice = request.body.value("tool_choice", Value());
        if (!choice.is_object() || choice["function"]["name"] != "SQLQueryInput") continue;
        const std::string prompt = request.body["messages"].dump();
        schema_shown = prompt.find("CREATE TABLE Genre (") != std::string::npos;
        EXPECT_EQ(prompt.find("CREATE TABLE Track ("), std::string::npos);
    }
    EXPECT_TRUE(schema_shown);
    // All sixteen model calls are paid for.
    EXPECT_EQ(chat.request_count(), 16u);
    ASSERT_TRUE(outcome.tokens);
    EXPECT_EQ(*outcome.tokens, 15 * static_cast<long>(chat.request_count()));

    // Through run_agent the same record comes back and the usage is reported.
    chat.set_script(Value{{"replies", failing_sql_script({empty})}});
    CaptureStdout();
    const Value again = run_agent(graph, "vk-user", "Which genres?", media.string());
    EXPECT_EQ(GetCapturedStdout(), "Success at:Velta1!.\n");
    EXPECT_EQ(again["output"], "No genre matched.");
    EXPECT_TRUE(again["python_code"].is_null());
    EXPECT_EQ(again["generated_query"], Value(std::vector<std::string>(6, empty)));
    ASSERT_EQ(service.usage_reports().size(), 1u);
    EXPECT_EQ(service.usage_reports()[0]["query"], "Which genres?");
    EXPECT_GT(service.usage_reports()[0]["tokens"].get<long>(), 0);

    // A state that did reach the analysis keeps what it holds, and still needs every key.
    const Value answered = {{"final_response", "ok"},
                            {"pandas_code", "print(1)"},
                            {"image_path", "/m/p.png"},
                            {"generated_sql_query", {"SELECT 1"}},
                            {"sql_execution_result", {"[(1,)]"}},
                            {"execution_success", true}};
    EXPECT_EQ(answer_record(answered)["image_path"], "/m/p.png");
    Value without = answered;
    without.erase("pandas_code");
    EXPECT_THROW(answer_record(without), KeyError);
    without["execution_success"] = false;
    EXPECT_TRUE(answer_record(without)["python_code"].is_null());
    without.erase("final_response");
    EXPECT_THROW(answer_record(without), KeyError);
}

}  // namespace
}  // namespace veltaai::agent

namespace veltaai::agent {
namespace {

TEST(CustomRunnableAgentPlan, HandsTheRunnableItsInputsStepsAndCallbacks) {
    Value seen_input, seen_config;
    const CustomRunnableAgent planner([&](const Value& input, const Value& config) {
        seen_input = input;
        seen_config = config;
        return Value{{"tool", "sql"}, {"tool_input", input["input"]}};
    });
    const Value steps = Value::array({Value::array({"look", "3 rows"})});
    const Value next =
        planner.plan(steps, Value::array({"tracer"}), {{"input", "Top genres?"}, {"intermediate_steps", 0}});
    EXPECT_EQ(next, (Value{{"tool", "sql"}, {"tool_input", "Top genres?"}}))
        << "the runnable's answer unchanged";
    EXPECT_EQ(seen_input, (Value{{"input", "Top genres?"}, {"intermediate_steps", steps}}));
    EXPECT_EQ(seen_config, (Value{{"callbacks", {"tracer"}}}));
    EXPECT_THROW(planner.plan(steps, nullptr, Value::array()), TypeError);
}

}  // namespace
}  // namespace veltaai::agent
