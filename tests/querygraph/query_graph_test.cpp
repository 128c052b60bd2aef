// Whole runs of QueryGraph on the Chinook file: every model call answered by the chat stub,
// SQL run by SQLite, analysis code run by the real Python kernel.
#include "stubs/chat_stub.h"
#include "tests/sql/test_servers.h"
#include "veltaai/llm/chat_openai.h"
#include "veltaai/querygraph/custom_sql.h"
#include "veltaai/querygraph/querygraph.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <map>
#include <tuple>

namespace veltaai::querygraph {
namespace {

const std::string kTopGenres =
    "SELECT g.Name, COUNT(*) AS n FROM Track t JOIN Genre g USING (GenreId) "
    "GROUP BY g.Name ORDER BY n DESC LIMIT 3";
const std::string kRows = "[('Rock', 1297), ('Latin', 579), ('Metal', 374)]";

// One rule per kind of model call; the query the model writes (and the review gives back) and
// the analysis code vary per case.
Value script(const std::string& query, const std::string& code) {
    const auto forced = [](const std::string& tool, Value reply) {
        reply["match"] = {{"tool", tool}};
        reply["repeat"] = true;
        return reply;
    };
    return Value::array({
        forced("select_relevant_tables", {{"tool_call",
                                           {{"name", "select_relevant_tables"},
                                            {"arguments", {{"relevant_tables", {"Genre", "Track"}}}}}}}),
        forced("SQLQueryInput", {{"structured", {{"sql_query", query}}}}),
        forced("RewriteQueryOutput", {{"structured", {{"rewritten_question", "Name every genre."}}}}),
        forced("PythonCodeInput", {{"structured", {{"code", code}}}}),
        forced("GenerationOutput", {{"structured", {{"image_path", ""}, {"final_response", "Rock leads."}}}}),
        {{"match", {{"any_contains", "You are reviewing a"}}},
         {"content", "```sql\n" + query + "\n```"},
         {"repeat", true}},
    });
}

class QueryGraphRun : public ::testing::Test {
protected:
    stubs::ChatStub stub_;
    QueryGraph graph_{CustomSQLDatabase::from_uri("sqlite:///" + testing::chinook_sqlite()),
                      AzureOpenAIChat35{stub_.azure_endpoint(), "key-35", "2024-02-01", "gpt35"},
                      AzureOpenAIChat4{stub_.azure_endpoint(), "key-4", "2024-02-01", "gpt4"}};

    // Runs the question, recording the nodes in the order they start.
    Value run(const std::string& question) {
        return graph_.invoke(
            {{"user_question", question}, {"save_path", std::filesystem::temp_directory_path().string()}},
            [this](const graph::RunEvent& event) {
                if (event.kind == graph::RunEvent::Kind::started) visits_.emplace_back(event.node);
            });
    }

    // The requests by what they were for: the forced tool's name, or "review" for the query review.
    std::map<std::string, std::vector<stubs::RecordedRequest>> requests_by_kind() const {
        std::map<std::string, std::vector<stubs::RecordedRequest>> kinds;
        for (const auto& request : stub_.requests()) {
            const Value choice = request.body.value("tool_choice", Value());
            kinds[choice.is_object() ? choice["function"]["name"].get<std::string>() : "review"].push_back(
                request);
        }
        return kinds;
    }

    std::vector<std::string> visits_;
};

TEST_F(QueryGraphRun, BuildsItsModelsConfigurationAndWiringOnce) {
    for (const auto& [model, deployment, max_tokens] :
         std::vector<std::tuple<std::shared_ptr<llm::AzureChatOpenAI>, std::string, long>>{
             {graph_.relevant_tables_model(), "gpt35", 8192},
             {graph_.sql_generation_model(), "gpt4", 4096},
             {graph_.response_model(), "gpt35", 4096},
             {graph_.pandas_code_model(), "gpt35", 8192},
             {graph_.pandas_ai_model(), "gpt35", 8192}}) {
        EXPECT_EQ(model->deployment(), deployment);
        EXPECT_EQ(model->settings().max_tokens, max_tokens);
        EXPECT_EQ(model->settings().temperature, 0.0);
        EXPECT_EQ(model->settings().model_kwargs, Value::parse(R"({"top_p": 0.95})"));
    }
    EXPECT_EQ(graph_.runnable_config().recursion_limit, 50);
    EXPECT_EQ(graph_.runnable_config().max_concurrency, 20);
    EXPECT_EQ(graph_.runnable_config().tags, std::vector<std::string>{"querygraph"});
    EXPECT_THROW(QueryGraph(nullptr, AzureOpenAIChat35{}, AzureOpenAIChat4{}), ValueError);

    // Wired exactly like the topology the routing tests run and `veltaai graph` draws.
    const graph::DrawableGraph reference = query_graph_drawing();
    EXPECT_EQ(graph_.compiled_graph().get_graph().nodes, reference.nodes);
    EXPECT_EQ(graph_.compiled_graph().get_graph().edges, reference.edges);

    EXPECT_EQ(QueryGraph::_config_graph({{"user", "u1"}}, Value::array({"a"}), nullptr, 7).recursion_limit,
              7);
    const auto refused = [](const std::string& name, const std::function<void()>& call) {
        try {
            call();
            ADD_FAILURE() << name << " of the wrong kind was accepted";
        } catch (const TypeError& e) {
            EXPECT_NE(std::string(e.what()).find(name), std::string::npos) << e.what();
        }
    };
    refused("metadata", [] { QueryGraph::_config_graph(Value::array()); });
    refused("tags", [] { QueryGraph::_config_graph(nullptr, "querygraph"); });
    refused("max_concurrency", [] { QueryGraph::_config_graph(nullptr, Value::array(), 2.5); });
    refused("recursion_limit", [] { QueryGraph::_config_graph(nullptr, Value::array(), 20, nullptr); });
}

TEST_F(QueryGraphRun, FirstQuerySucceedsThroughAnalysisToTheAnswer) {
    stub_.set_script(script(kTopGenres,
                            "import pandas as pd\n"
                            "df = pd.DataFrame([('Rock', 1297), ('Latin', 579)], columns=['g', 'n'])\n"
                            "print(df.sort_values('n').iloc[-1]['g'])\n"));
    EXPECT_THROW(graph_.invoke(Value::array({"How many genres?"})), TypeError);
    EXPECT_EQ(stub_.request_count(), 0u);  // refused before any node ran

    const Value state = run("Which genres have the most tracks?");
    // Ten steps; the response node runs once although two edges lead to it.
    EXPECT_EQ(visits_, (std::vector<std::string>{"init_node", "table_names_lookup_node",
                                                 "relevant_table_names_node", "relevant_schemas_node",
                                                 "sql_generation_node", "sql_syntax_checker_node",
                                                 "sql_execution_node", "pandas_generator_node",
                                                 "pandas_executor_node", "final_response_generation_node"}));
    EXPECT_EQ(state["sql_execution_result"], Value::array({kRows}));
    EXPECT_EQ(state["generated_sql_query"], Value::array({kTopGenres}));
    EXPECT_EQ(state["python_executed_output"], "Rock\n");
    EXPECT_EQ(state["final_response"], "Rock leads.");
    EXPECT_EQ(state["user_question"], "Which genres have the most tracks?");
    EXPECT_EQ(state["iteration_count"], 0);
    EXPECT_EQ(state["max_iterations"], 5);
    EXPECT_EQ(state["rewrite_count"], 0);

    // Each call went once to its deployment with its model's settings.
    auto kinds = requests_by_kind();
    EXPECT_EQ(kinds.size(), 5u);
    for (const auto& [kind, deployment, max_tokens] :
         std::vector<std::tuple<std::string, std::string, long>>{{"select_relevant_tables", "gpt35", 800},
                                                                 {"SQLQueryInput", "gpt4", 4096},
                                                                 {"review", "gpt35", 8192},
                                                                 {"PythonCodeInput", "gpt35", 8192},
                                                                 {"GenerationOutput", "gpt35", 4096}}) {
        ASSERT_EQ(kinds[kind].size(), 1u) << kind;
        const auto& request = kinds[kind][0];
        EXPECT_EQ(request.path, "/openai/deployments/" + deployment + "/chat/completions") << kind;
        EXPECT_EQ(request.body["max_tokens"], max_tokens) << kind;
        EXPECT_EQ(request.body["top_p"], 0.95) << kind;
    }
    EXPECT_NE(kinds["GenerationOutput"][0].body_text.find(kRows),
              std::string::npos);  // answered from the rows
}

// The model is told the media directory's absolute path: the analysis code runs inside it, so
// a relative "media/plot.png" would land in media/media. A plot saved there reaches the host.
TEST_F(QueryGraphRun, AnalysisCodeIsToldTheAbsoluteMediaPathAndSavesIntoIt) {
    const std::filesystem::path work =
        std::filesystem::temp_directory_path() / ("veltaai-media-" + std::to_string(getpid()));
    std::filesystem::create_directories(work / "media");
    const std::filesystem::path before = std::filesystem::current_path();
    std::filesystem::current_path(work);
    const std::string absolute = (work / "media").string();
    stub_.set_script(script(kTopGenres, "import matplotlib.pyplot as plt\nplt.plot([1, 2])\nplt.savefig('" +
                                            absolute + "/abs.png')\nplt.savefig('bare.png')\n"));
    const Value state = graph_.invoke({{"user_question", "Plot it"}, {"save_path", "media"}});
    std::filesystem::current_path(before);
    EXPECT_EQ(state["save_path"], absolute);
    EXPECT_EQ(state["python_execution_success"], true) << state["python_error_message"];
    auto kinds = requests_by_kind();
    ASSERT_EQ(kinds["PythonCodeInput"].size(), 1u);
    EXPECT_NE(kinds["PythonCodeInput"][0].body_text.find("save it in " + absolute), std::string::npos);
    EXPECT_TRUE(std::filesystem::exists(work / "media" / "abs.png"));
    EXPECT_TRUE(std::filesystem::exists(work / "media" / "bare.png"))
        << "a bare name lands in the media directory";
    std::filesystem::remove_all(work);
}

TEST_F(QueryGraphRun, FailingQueryIsRepairedRewrittenOnceThenAnswered) {
    stub_.set_script(script("SELECT Nmae FROM Genre", "print('never runs')"));
    const Value state = run("Which genres are there?");
    EXPECT_EQ(visits_.size(), 32u);
    EXPECT_EQ(std::count(visits_.begin(), visits_.end(), "sql_execution_node"), 6);
    ASSERT_EQ(state["sql_execution_result"].size(), 6u);
    for (const auto& result : state["sql_execution_result"]) {
        EXPECT_NE(result.get<std::string>().find("no such column: Nmae"), std::string::npos) << result;
    }
    EXPECT_EQ(state["rewrite_count"], 1);
    EXPECT_EQ(state["rewritten_question"], "Name every genre.");
    EXPECT_EQ(state["final_response"], "Rock leads.");
    std::map<std::string, std::size_t> counts;
    for (const auto& [kind, requests] : requests_by_kind()) counts[kind] = requests.size();
    EXPECT_EQ(counts, (std::map<std::string, std::size_t>{{"select_relevant_tables", 2},
                                                          {"SQLQueryInput", 6},
                                                          {"review", 6},
                                                          {"RewriteQueryOutput", 1},
                                                          {"GenerationOutput", 1}}));

    // A node's error ends the run as it was raised: here the service refuses the picker's call.
    stub_.set_script(Value::array({{{"status", 400}, {"error", "quota"}}}));
    visits_.clear();
    EXPECT_THROW(run("Which genres are there?"), ModelServiceError);
    EXPECT_EQ(visits_.back(), "relevant_table_names_node");
}

}  // namespace
}  // namespace veltaai::querygraph
