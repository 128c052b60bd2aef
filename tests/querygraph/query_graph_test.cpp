// Whole runs of QueryGraph on the Chinook file: every model call answered by the chat stub,
// SQL run by SQLite, analysis code run by the real Python kernel.
#include "stubs/chat_stub.h"
#include "tests/querygraph/query_topology.h"
#include "tests/sql/test_servers.h"
#include "veltaai/function_calling/base.h"
#include "veltaai/llm/chat_openai.h"
#include "veltaai/querygraph/custom_sql.h"
#include "veltaai/querygraph/querygraph.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <mutex>

namespace veltaai::querygraph {
namespace {

namespace fs = std::filesystem;

const std::string kTopGenres =
    "SELECT g.Name, COUNT(*) AS Tracks FROM Track t JOIN Genre g ON g.GenreId = t.GenreId "
    "GROUP BY g.Name ORDER BY Tracks DESC LIMIT 3";
const std::string kBrokenQuery = "SELECT Nmae FROM Genre";
const std::vector<std::string> kSuccessSteps = {
    "init_node",           "table_names_lookup_node", "relevant_table_names_node", "relevant_schemas_node",
    "sql_generation_node", "sql_syntax_checker_node", "sql_execution_node",        "pandas_generator_node",
    "pandas_executor_node", "final_response_generation_node"};

Value tool_reply(const std::string& tool, Value reply) {
    reply["match"] = {{"tool", tool}};
    reply["repeat"] = true;
    return reply;
}

// Rules for every model call of a run; the query the model writes (and the reviewer gives
// back) and the analysis code vary per case.
Value script(const std::string& query, const std::string& code) {
    return Value::array({
        tool_reply("select_relevant_tables",
                   {{"tool_call", {{"name", "select_relevant_tables"}, {"arguments", {{"relevant_tables", {"Genre", "Track"}}}}}}}),
        tool_reply("SQLQueryInput", {{"structured", {{"sql_query", query}}}}),
        tool_reply("RewriteQueryOutput", {{"structured", {{"rewritten_question", "Name the genres with the most tracks."}}}}),
        tool_reply("PythonCodeInput", {{"structured", {{"code", code}}}}),
        tool_reply("GenerationOutput", {{"structured", {{"image_path", ""}, {"final_response", "Rock leads with 1297 tracks."}}}}),
        {{"match", {{"any_contains", "You are reviewing a"}}}, {"content", "```sql\n" + query + "\n```"}, {"repeat", true}},
    });
}

// What each request was for: the forced tool's name, or "review" for the plain query review.
std::string kind_of(const stubs::RecordedRequest& request) {
    const Value& choice = request.body.value("tool_choice", Value());
    return choice.is_object() ? choice["function"]["name"].get<std::string>() : "review";
}

class QueryGraphRun : public ::testing::Test {
protected:
    QueryGraphRun() : save_dir_(fs::temp_directory_path() / ("querygraph-run-" + std::to_string(::getpid()))) {
        fs::create_directories(save_dir_);
    }
    ~QueryGraphRun() override { fs::remove_all(save_dir_); }

    QueryGraph make_graph() {
        return QueryGraph(CustomSQLDatabase::from_uri("sqlite:///" + testing::chinook_sqlite()),
                          AzureOpenAIChat35{stub_.azure_endpoint(), "key-35", "2024-02-01", "gpt35"},
                          AzureOpenAIChat4{stub_.azure_endpoint(), "key-4", "2024-02-01", "gpt4"});
    }

    // Runs the question and records the nodes of each step, joined by "+" in name order.
    Value run(const QueryGraph& graph, const std::string& question) {
        std::mutex mutex;
        return graph.invoke({{"user_question", question}, {"save_path", save_dir_.string()}},
                            [&](const graph::RunEvent& event) {
                                if (event.kind != graph::RunEvent::Kind::started) return;
                                std::lock_guard lock(mutex);
                                const auto step = static_cast<std::size_t>(event.step);
                                if (steps_.size() < step) steps_.resize(step);
                                std::string& names = steps_[step - 1];
                                const std::string node(event.node);
                                names = names.empty() ? node : names < node ? names + "+" + node : node + "+" + names;
                            });
    }

    std::map<std::string, std::vector<stubs::RecordedRequest>> requests_by_kind() const {
        std::map<std::string, std::vector<stubs::RecordedRequest>> kinds;
        for (const auto& request : stub_.requests()) kinds[kind_of(request)].push_back(request);
        return kinds;
    }

    stubs::ChatStub stub_;
    fs::path save_dir_;
    std::vector<std::string> steps_;
};

TEST_F(QueryGraphRun, BuildsItsModelsAndConfigurationOnce) {
    const QueryGraph graph = make_graph();
    struct Expected {
        const std::shared_ptr<llm::AzureChatOpenAI>& model;
        const char* deployment;
        long max_tokens;
    };
    for (const auto& [model, deployment, max_tokens] : {Expected{graph.relevant_tables_model(), "gpt35", 8192},
                                                         Expected{graph.sql_generation_model(), "gpt4", 4096},
                                                         Expected{graph.response_model(), "gpt35", 4096},
                                                         Expected{graph.pandas_code_model(), "gpt35", 8192},
                                                         Expected{graph.pandas_ai_model(), "gpt35", 8192}}) {
        ASSERT_TRUE(model);
        EXPECT_EQ(model->deployment(), deployment);
        EXPECT_EQ(model->settings().max_tokens, max_tokens);
        EXPECT_EQ(model->settings().temperature, 0.0);
        EXPECT_EQ(model->settings().model_kwargs, Value::parse(R"({"top_p": 0.95})"));
    }
    EXPECT_EQ(graph.relevant_table_picker()->model_name(), "gpt35");
    EXPECT_EQ(graph.runnable_config().recursion_limit, 50);
    EXPECT_EQ(graph.runnable_config().max_concurrency, 20);
    EXPECT_EQ(graph.runnable_config().tags, std::vector<std::string>{"querygraph"});
    EXPECT_TRUE(graph.runnable_config().metadata.is_null());

    // Wired exactly like the topology the routing tests run.
    const auto stand_in = [](const std::string&) -> graph::Node { return [](graph::StateView&) { return Value(); }; };
    const graph::DrawableGraph reference = testing::build_query_topology(stand_in).get_graph();
    EXPECT_EQ(graph.compiled_graph().get_graph().nodes, reference.nodes);
    EXPECT_EQ(graph.compiled_graph().get_graph().edges, reference.edges);
    EXPECT_EQ(reference.nodes.size(), 15u);

    EXPECT_THROW(QueryGraph(nullptr, AzureOpenAIChat35{}, AzureOpenAIChat4{}), ValueError);
    EXPECT_EQ(stub_.request_count(), 0u);  // building asks no model anything
}

TEST_F(QueryGraphRun, ConfigurationArgumentsAreCheckedByKind) {
    const graph::RunConfig custom = QueryGraph::_config_graph({{"user", "u1"}}, Value::array({"a", "b"}), nullptr, 7);
    EXPECT_EQ(custom.metadata, Value({{"user", "u1"}}));
    EXPECT_EQ(custom.tags, (std::vector<std::string>{"a", "b"}));
    EXPECT_FALSE(custom.max_concurrency.has_value());
    EXPECT_EQ(custom.recursion_limit, 7);

    const auto refused_naming = [](const std::string& name, const std::function<void()>& call) {
        try {
            call();
            ADD_FAILURE() << name << " of the wrong kind was accepted";
        } catch (const TypeError& e) {
            EXPECT_NE(std::string(e.what()).find(name), std::string::npos) << e.what();
        }
    };
    refused_naming("metadata", [] { QueryGraph::_config_graph(Value::array()); });
    refused_naming("tags", [] { QueryGraph::_config_graph(nullptr, "querygraph"); });
    refused_naming("max_concurrency", [] { QueryGraph::_config_graph(nullptr, Value::array(), 2.5); });
    refused_naming("recursion_limit", [] { QueryGraph::_config_graph(nullptr, Value::array(), 20, nullptr); });
}

TEST_F(QueryGraphRun, FirstQuerySucceedsThroughAnalysisToTheAnswer) {
    stub_.set_script(script(kTopGenres,
                            "import pandas as pd\n"
                            "df = pd.DataFrame([('Rock', 1297), ('Latin', 579)], columns=['Genre', 'Tracks'])\n"
                            "print(df.sort_values('Tracks').iloc[-1]['Genre'])\n"));
    const QueryGraph graph = make_graph();

    EXPECT_THROW(graph.invoke(Value::array({"How many genres?"})), TypeError);
    EXPECT_EQ(stub_.request_count(), 0u);  // refused before any node ran

    const Value state = run(graph, "Which genres have the most tracks?");
    EXPECT_EQ(steps_, kSuccessSteps);  // the response node runs once although two edges lead to it
    EXPECT_EQ(state["final_response"], "Rock leads with 1297 tracks.");
    EXPECT_EQ(state["user_question"], "Which genres have the most tracks?");
    EXPECT_EQ(state["save_path"], save_dir_.string());
    EXPECT_EQ(state["relevant_tables"], Value::parse(R"(["Genre", "Track"])"));
    EXPECT_EQ(state["generated_sql_query"], Value::array({kTopGenres}));
    EXPECT_EQ(state["sql_execution_result"], Value::array({"[('Rock', 1297), ('Latin', 579), ('Metal', 374)]"}));
    EXPECT_EQ(state["execution_success"], true);
    EXPECT_EQ(state["python_execution_success"], true);
    EXPECT_EQ(state["python_executed_output"], "Rock\n");
    EXPECT_EQ(state["iteration_count"], 0);
    EXPECT_EQ(state["max_iterations"], 5);
    EXPECT_EQ(state["rewrite_count"], 0);
    EXPECT_NE(state["table_names_from_db"].get<std::string>().find("Album, Artist, Customer"), std::string::npos);

    auto kinds = requests_by_kind();
    EXPECT_EQ(kinds["select_relevant_tables"].size(), 1u);
    EXPECT_EQ(kinds["SQLQueryInput"].size(), 1u);
    EXPECT_EQ(kinds["review"].size(), 1u);
    EXPECT_EQ(kinds["PythonCodeInput"].size(), 1u);
    EXPECT_EQ(kinds["GenerationOutput"].size(), 1u);
    EXPECT_EQ(kinds.count("RewriteQueryOutput"), 0u);

    // Each call went to its deployment with its model's settings.
    const auto sent_with = [](const stubs::RecordedRequest& request, const std::string& deployment, long max_tokens) {
        EXPECT_EQ(request.path, "/openai/deployments/" + deployment + "/chat/completions");
        EXPECT_EQ(request.body["max_tokens"], max_tokens) << request.body_text.substr(0, 200);
        EXPECT_EQ(request.body["temperature"], 0.0);
        EXPECT_EQ(request.body["top_p"], 0.95);
    };
    sent_with(kinds["SQLQueryInput"][0], "gpt4", 4096);
    sent_with(kinds["review"][0], "gpt35", 8192);
    sent_with(kinds["PythonCodeInput"][0], "gpt35", 8192);
    sent_with(kinds["GenerationOutput"][0], "gpt35", 4096);
    sent_with(kinds["select_relevant_tables"][0], "gpt35", 800);
    // The answer is composed from the rows the database returned.
    EXPECT_NE(kinds["GenerationOutput"][0].body_text.find("[('Rock', 1297), ('Latin', 579), ('Metal', 374)]"),
              std::string::npos);
}

TEST_F(QueryGraphRun, FailingQueryIsRepairedFiveTimesRewrittenOnceThenAnswered) {
    stub_.set_script(script(kBrokenQuery, "print('never runs')"));
    const QueryGraph graph = make_graph();

    const Value state = run(graph, "Which genres are there?");
    EXPECT_EQ(steps_.size(), 32u);
    EXPECT_EQ(steps_.back(), "final_response_generation_node");
    EXPECT_EQ(std::count(steps_.begin(), steps_.end(), "rewrite_query_node"), 1);
    EXPECT_EQ(std::count(steps_.begin(), steps_.end(), "sql_execution_node"), 6);
    EXPECT_EQ(std::count(steps_.begin(), steps_.end(), "pandas_generator_node"), 0);

    EXPECT_EQ(state["final_response"], "Rock leads with 1297 tracks.");
    EXPECT_EQ(state["generated_sql_query"].size(), 6u);
    const Value& results = state["sql_execution_result"];
    ASSERT_EQ(results.size(), 6u);  // one error per execution
    for (const auto& result : results) {
        EXPECT_NE(result.get<std::string>().find("no such column: Nmae"), std::string::npos) << result;
    }
    EXPECT_EQ(state["iteration_count"], 5);
    EXPECT_EQ(state["execution_success"], false);
    EXPECT_EQ(state["rewrite_count"], 1);
    EXPECT_EQ(state["rewritten_question"], "Name the genres with the most tracks.");
    EXPECT_FALSE(state.contains("python_execution_success"));

    auto kinds = requests_by_kind();
    EXPECT_EQ(kinds["select_relevant_tables"].size(), 2u);  // picked again after the rewrite
    EXPECT_EQ(kinds["SQLQueryInput"].size(), 6u);
    EXPECT_EQ(kinds["review"].size(), 6u);
    EXPECT_EQ(kinds["RewriteQueryOutput"].size(), 1u);
    EXPECT_EQ(kinds["GenerationOutput"].size(), 1u);
    EXPECT_EQ(kinds.count("PythonCodeInput"), 0u);
    EXPECT_EQ(kinds["RewriteQueryOutput"][0].path, "/openai/deployments/gpt35/chat/completions");
}

TEST_F(QueryGraphRun, NodeErrorsEndTheRunUnchanged) {
    // The picker's forced call is refused by the service: the run ends with that error.
    stub_.set_script(Value::array({{{"match", {{"tool", "select_relevant_tables"}}}, {"status", 400}, {"error", "quota"}}}));
    const QueryGraph graph = make_graph();
    EXPECT_THROW(run(graph, "Which genres are there?"), ModelServiceError);
    EXPECT_EQ(steps_.back(), "relevant_table_names_node");
}

}  // namespace
}  // namespace veltaai::querygraph
