// Runs of the query graph's real topology, routing and handlers, with scripted stand-ins for
// the nodes that would call a model or a database.

#include "tests/querygraph/query_topology.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <mutex>

namespace veltaai {
namespace {

using Visits = std::vector<std::pair<int, std::string>>;
using Steps = std::vector<std::vector<std::string>>;

class ScriptedRun {
public:
    std::deque<bool> sql_outcomes, pandas_outcomes;  // scripted results; success once empty
    std::vector<std::string> sql_prompts, pandas_prompts;
    int responses = 0;
    Visits visits;

    Value run(const Value& input, graph::RunConfig config = {}) {
        config.observer = [this](const graph::RunEvent& e) {
            if (e.kind == graph::RunEvent::Kind::started) visits.emplace_back(e.step, std::string(e.node));
        };
        return graph_.invoke(input, config);
    }

private:
    static bool next(std::deque<bool>& outcomes) {
        if (outcomes.empty()) return true;
        const bool ok = outcomes.front();
        outcomes.pop_front();
        return ok;
    }

    graph::Node stand_in(const std::string& name) {
        using graph::StateView;
        if (name == "table_names_lookup_node") return [](StateView&) { return Value{{"table_names_from_db", "Album, Artist"}}; };
        if (name == "relevant_table_names_node") return [](StateView&) { return Value{{"relevant_tables", {"Album"}}}; };
        if (name == "relevant_schemas_node") {
            return [](StateView&) { return Value{{"schemas_from_relevant_tables", "CREATE TABLE Album"}, {"sql_generation_prompt_type", "generation"}}; };
        }
        if (name == "rewrite_query_node") return [](StateView&) { return Value{{"rewritten_question", "rewritten"}}; };
        if (name == "sql_generation_node") {
            return [this](StateView& s) {
                sql_prompts.push_back(s.at("sql_generation_prompt_type"));
                return Value{{"generated_sql_query", {"SELECT " + std::to_string(s.at("generated_sql_query").size() + 1)}}};
            };
        }
        if (name == "sql_syntax_checker_node") {
            return [](StateView& s) {  // reviews the newest query in place, as the real checker does
                s.list("generated_sql_query").back() = s.at("generated_sql_query").back().get<std::string>() + " -- checked";
                return Value();
            };
        }
        if (name == "sql_execution_node") {
            return [this](StateView& s) {
                const bool ok = next(sql_outcomes);
                const auto n = std::to_string(s.at("sql_execution_result").size() + 1);
                Value update = {{"execution_success", ok}, {"sql_execution_result", {ok ? "[(1,)]" : "error " + n}}};
                if (ok) update["pandas_generation_prompt_type"] = "generation";
                return update;
            };
        }
        if (name == "pandas_generator_node") {
            return [this](StateView& s) {
                pandas_prompts.push_back(s.at("pandas_generation_prompt_type"));
                return Value{{"pandas_code", "print(1)"}};
            };
        }
        if (name == "pandas_executor_node") {
            return [this](StateView&) {
                const bool ok = next(pandas_outcomes);
                return Value{{"python_execution_success", ok},
                             {"python_executed_output", (ok ? "output " : "error output ") + std::to_string(pandas_prompts.size())}};
            };
        }
        return [this](StateView& s) {  // final_response_generation_node
            const std::lock_guard lock(mutex_);  // shares its step with the analysis error handler
            ++responses;
            const Value& from = s.contains("python_executed_output") ? s.at("python_executed_output") : s.at("sql_execution_result").back();
            return Value{{"final_response", "answer: " + from.get<std::string>()}};
        };
    }

    std::mutex mutex_;
    graph::CompiledGraph graph_ = testing::build_query_topology([this](const std::string& name) { return stand_in(name); });
};

// Expected visits, one group of node names per step.
Visits steps(const Steps& groups) {
    Visits visits;
    for (std::size_t i = 0; i < groups.size(); ++i) {
        for (const auto& name : groups[i]) visits.emplace_back(static_cast<int>(i) + 1, name);
    }
    return visits;
}

Visits sorted(Visits visits) {  // nodes sharing a step may start in either order
    std::sort(visits.begin(), visits.end());
    return visits;
}

const Steps kToSchemas = {
    {"init_node"}, {"table_names_lookup_node"}, {"relevant_table_names_node"}, {"relevant_schemas_node"}};
const Steps kSqlAttempt = {
    {"sql_generation_node"}, {"sql_syntax_checker_node"}, {"sql_execution_node"}};
const Steps kAnalysis = {{"pandas_generator_node"}, {"pandas_executor_node"}};
const std::vector<std::string> kResponse = {"final_response_generation_node"};
const std::vector<std::string> kResponseAndRepair = {"final_response_generation_node", "pandas_error_handler_node"};

template <class... Parts>
Steps join(const Parts&... parts) {
    Steps out;
    (out.insert(out.end(), parts.begin(), parts.end()), ...);
    return out;
}

const Value kInput = {{"user_question", "How many albums?"}, {"save_path", "/tmp/media"}};

TEST(QueryTopology, FirstSuccessTakesTenStepsAndRespondsOnce) {
    ScriptedRun run;
    const Value state = run.run(kInput);
    EXPECT_EQ(run.visits, steps(join(kToSchemas, kSqlAttempt, kAnalysis, Steps{kResponse})));
    EXPECT_EQ(run.responses, 1);
    EXPECT_EQ(state["final_response"], "answer: output 1");
    EXPECT_EQ(state["generated_sql_query"], Value({"SELECT 1 -- checked"}));
    EXPECT_EQ(state["user_question"], kInput["user_question"]);
    EXPECT_EQ(state["iteration_count"], 0);
    EXPECT_EQ(state["iteration_count_pandas"], 0);
    EXPECT_EQ(state["max_iterations"], 5);
    EXPECT_EQ(state["rewrite_count"], 0);
}

TEST(QueryTopology, FiveFailuresRewriteOnceAndTheSixthEndsInTheResponse) {
    const auto repair = join(kSqlAttempt, Steps{{"sql_error_handler_node"}});
    const auto expected = steps(join(kToSchemas, repair, repair, repair, repair, repair,
                                     Steps{{"rewrite_query_node"},
                                                                           {"relevant_table_names_node"},
                                                                           {"relevant_schemas_node"}},
                                     repair, Steps{kResponse}));
    ASSERT_EQ(expected.size(), 32u);

    ScriptedRun run;
    run.sql_outcomes.assign(6, false);
    graph::RunConfig exact;
    exact.recursion_limit = 32;
    const Value state = run.run(kInput, exact);
    EXPECT_EQ(run.visits, expected);
    EXPECT_EQ(run.sql_prompts, (std::vector<std::string>{"generation", "correction", "correction", "correction",
                                                         "correction", "generation"}));
    EXPECT_EQ(state["generated_sql_query"].size(), 6u);
    EXPECT_EQ(state["generated_sql_query"][5], "SELECT 6 -- checked");
    EXPECT_EQ(state["sql_execution_result"].back(), "error 6");
    EXPECT_EQ(state["sql_execution_result"].size(), 6u);
    EXPECT_EQ(state["iteration_count"], 5);
    EXPECT_EQ(state["rewrite_count"], 1);
    EXPECT_EQ(state["rewritten_question"], "rewritten");
    EXPECT_EQ(state["final_response"], "answer: error 6");
    EXPECT_FALSE(state.contains("pandas_code"));

    ScriptedRun short_of_one;
    short_of_one.sql_outcomes.assign(6, false);
    exact.recursion_limit = 31;
    EXPECT_THROW(short_of_one.run(kInput, exact), graph::GraphRecursionError);
}

TEST(QueryTopology, AnalysisFailureRespondsThenRepairsAndRespondsAgain) {
    ScriptedRun run;
    run.pandas_outcomes = {false, true};
    const Value state = run.run(kInput);
    EXPECT_EQ(sorted(run.visits), steps(join(kToSchemas, kSqlAttempt, kAnalysis, Steps{kResponseAndRepair},
                                             kAnalysis, Steps{kResponse})));
    EXPECT_EQ(run.responses, 2);
    EXPECT_EQ(run.pandas_prompts, (std::vector<std::string>{"generation", "correction"}));
    EXPECT_EQ(state["iteration_count_pandas"], 1);
    EXPECT_EQ(state["final_response"], "answer: output 2");
}

TEST(QueryTopology, AnalysisFailingUntilTheLimitEndsInTheResponse) {
    const auto expected = steps(join(kToSchemas, kSqlAttempt, kAnalysis, Steps{kResponseAndRepair}, kAnalysis,
                                     Steps{kResponseAndRepair}, kAnalysis, Steps{kResponseAndRepair},
                                     Steps{kResponse}));
    Value first;
    for (const std::optional<int> concurrency : {std::optional<int>(20), std::optional<int>(1), std::optional<int>()}) {
        ScriptedRun run;
        run.pandas_outcomes.assign(10, false);
        graph::RunConfig config;
        config.max_concurrency = concurrency;
        const Value state = run.run(kInput, config);
        EXPECT_EQ(sorted(run.visits), expected);
        EXPECT_EQ(run.responses, 4);
        EXPECT_EQ(state["iteration_count_pandas"], 3);
        EXPECT_EQ(state["python_executed_output"], "error output 3");
        if (first.is_null()) first = state;
        EXPECT_EQ(state, first) << "the final state must not depend on how a step's nodes ran";
    }
}

TEST(QueryTopology, ALoopingRunStopsAtTheRecursionLimit) {
    // A caller-supplied counter far below the limit keeps the repair loop going.
    ScriptedRun run;
    run.sql_outcomes.assign(100, false);
    Value input = kInput;
    input["iteration_count"] = -40;
    EXPECT_THROW(run.run(input), graph::GraphRecursionError);
    ASSERT_EQ(run.visits.size(), 50u);
    EXPECT_EQ(run.visits.back().first, 50);
}

TEST(QueryTopology, DrawsEveryNodeAndLabelledRoute) {
    const graph::DrawableGraph drawing =
        testing::build_query_topology([](const std::string&) { return [](graph::StateView&) { return Value(); }; }).get_graph();
    ASSERT_EQ(drawing.nodes.size(), 15u);
    EXPECT_EQ(drawing.nodes.front(), "__start__");
    EXPECT_EQ(drawing.nodes[1], "init_node");
    EXPECT_EQ(drawing.nodes.back(), "__end__");
    EXPECT_EQ(drawing.edges.size(), 20u);
    EXPECT_EQ(std::count_if(drawing.edges.begin(), drawing.edges.end(), [](const auto& e) { return e.conditional(); }), 9);
    const graph::DrawableEdge rewrite{"sql_error_handler_node", "rewrite_query_node", "rewrite_query"};
    EXPECT_NE(std::find(drawing.edges.begin(), drawing.edges.end(), rewrite), drawing.edges.end());
    EXPECT_NE(drawing.draw_mermaid().find("sql_error_handler_node -.->|\"rewrite_query\"| rewrite_query_node\n"),
              std::string::npos);
    EXPECT_NE(drawing.draw_ascii().find("final_response_generation_node\n  ---> __end__\n"), std::string::npos);
}

}  // namespace
}  // namespace veltaai
