// Runs of the query graph's real topology, routing and handlers, with scripted stand-ins for
// the nodes that would call a model or a database.

#include "veltaai/querygraph/querygraph.h"
#include "veltaai/querygraph/querynodes.h"

#include <gtest/gtest.h>

#include <deque>
#include <mutex>

namespace veltaai {
namespace {

using graph::StateView;
using Steps = std::vector<std::string>;  // per step, its nodes joined by "+" in name order

Steps operator+(Steps a, const Steps& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
Steps times(int n, const Steps& part) {
    return n == 0 ? Steps{} : part + times(n - 1, part);
}

const Steps kToSchemas = {"init_node", "table_names_lookup_node", "relevant_table_names_node",
                          "relevant_schemas_node"};
const Steps kSqlAttempt = {"sql_generation_node", "sql_syntax_checker_node", "sql_execution_node"};
const Steps kAnalysis = {"pandas_generator_node", "pandas_executor_node"};
const Steps kResponse = {"final_response_generation_node"};
const Steps kResponseAndRepair = {"final_response_generation_node+pandas_error_handler_node"};
const Value kInput = {{"user_question", "How many albums?"}, {"save_path", "/tmp/media"}};

class ScriptedRun {
public:
    std::deque<bool> sql_ok, pandas_ok;  // scripted outcomes; success once empty
    std::vector<std::string> sql_prompts, pandas_prompts;
    int responses = 0;
    Steps visits;

    Value run(const Value& input, graph::RunConfig config = {}) {
        config.observer = [this](const graph::RunEvent& e) {
            if (e.kind != graph::RunEvent::Kind::started) return;
            const auto step = static_cast<std::size_t>(e.step);
            if (visits.size() < step) visits.resize(step);
            std::string& names = visits[step - 1];
            const std::string node(e.node);
            names = names.empty() ? node : names < node ? names + "+" + node : node + "+" + names;
        };
        return graph_.invoke(input, config);
    }

private:
    static bool next(std::deque<bool>& outcomes) {
        const bool ok = outcomes.empty() || outcomes.front();
        if (!outcomes.empty()) outcomes.pop_front();
        return ok;
    }

    graph::Node stand_in(const std::string& name) {
        if (name == "relevant_schemas_node")
            return [](StateView&) { return Value{{"sql_generation_prompt_type", "generation"}}; };
        if (name == "sql_generation_node") {
            return [this](StateView& s) {
                sql_prompts.push_back(s.at("sql_generation_prompt_type"));
                return Value{{"generated_sql_query", {"SELECT " + std::to_string(sql_prompts.size())}}};
            };
        }
        if (name == "sql_syntax_checker_node") {
            return [](StateView& s) {  // reviews the newest query in place, as the real checker does
                s.list("generated_sql_query").back() =
                    s.at("generated_sql_query").back().get<std::string>() + " -- checked";
                return Value();
            };
        }
        if (name == "sql_execution_node") {
            return [this](StateView& s) {
                const bool ok = next(sql_ok);
                const auto n = std::to_string(s.at("sql_execution_result").size() + 1);
                return Value{{"execution_success", ok},
                             {"sql_execution_result", {ok ? "[(1,)]" : "error " + n}},
                             {"pandas_generation_prompt_type", "generation"}};
            };
        }
        if (name == "pandas_generator_node") {
            return [this](StateView& s) {
                pandas_prompts.push_back(s.at("pandas_generation_prompt_type"));
                return Value();
            };
        }
        if (name == "pandas_executor_node") {
            return [this](StateView&) {
                const bool ok = next(pandas_ok);
                return Value{{"python_execution_success", ok},
                             {"python_executed_output",
                              (ok ? "output " : "error ") + std::to_string(pandas_prompts.size())}};
            };
        }
        if (name == "final_response_generation_node") {
            return [this](StateView& s) {
                const std::lock_guard lock(mutex_);  // shares its step with the analysis error handler
                ++responses;
                const Value& from = s.contains("python_executed_output")
                                        ? s.at("python_executed_output")
                                        : s.at("sql_execution_result").back();
                return Value{{"final_response", "answer: " + from.get<std::string>()}};
            };
        }
        return [](StateView&) { return Value(); };
    }

    std::mutex mutex_;
    graph::CompiledGraph graph_ =
        querygraph::query_topology([this](const std::string& name) { return stand_in(name); }).compile();
};

TEST(QueryTopology, FirstSuccessTakesTenStepsAndRespondsOnce) {
    ScriptedRun run;
    const Value state = run.run(kInput);
    EXPECT_EQ(run.visits, kToSchemas + kSqlAttempt + kAnalysis + kResponse);
    EXPECT_EQ(run.responses, 1);
    EXPECT_EQ(state["final_response"], "answer: output 1");
    EXPECT_EQ(state["generated_sql_query"], Value({"SELECT 1 -- checked"}));
    EXPECT_EQ(state["user_question"], kInput["user_question"]);
    for (const char* zero : {"iteration_count", "iteration_count_pandas", "rewrite_count"})
        EXPECT_EQ(state[zero], 0);
    EXPECT_EQ(state["max_iterations"], 5);
}

TEST(QueryTopology, FiveFailuresRewriteOnceAndTheSixthEndsInTheResponse) {
    const Steps repair = kSqlAttempt + Steps{"sql_error_handler_node"};
    const Steps expected = kToSchemas + times(5, repair) +
                           Steps{"rewrite_query_node", "relevant_table_names_node", "relevant_schemas_node"} +
                           repair + kResponse;
    ASSERT_EQ(expected.size(), 32u);
    ScriptedRun run;
    run.sql_ok.assign(6, false);
    graph::RunConfig exact;
    exact.recursion_limit = 32;
    const Value state = run.run(kInput, exact);
    EXPECT_EQ(run.visits, expected);
    EXPECT_EQ(run.sql_prompts,
              (Steps{"generation", "correction", "correction", "correction", "correction", "generation"}));
    EXPECT_EQ(state["generated_sql_query"].size(), 6u);
    EXPECT_EQ(state["generated_sql_query"][5], "SELECT 6 -- checked");
    EXPECT_EQ(state["sql_execution_result"].size(), 6u);
    EXPECT_EQ(state["iteration_count"], 5);
    EXPECT_EQ(state["rewrite_count"], 1);
    EXPECT_EQ(state["final_response"], "answer: error 6");

    ScriptedRun short_of_one;
    short_of_one.sql_ok.assign(6, false);
    exact.recursion_limit = 31;
    EXPECT_THROW(short_of_one.run(kInput, exact), graph::GraphRecursionError);
}

TEST(QueryTopology, AnalysisFailureRespondsThenRepairsAndRespondsAgain) {
    ScriptedRun run;
    run.pandas_ok = {false, true};
    const Value state = run.run(kInput);
    EXPECT_EQ(run.visits, kToSchemas + kSqlAttempt + kAnalysis + kResponseAndRepair + kAnalysis + kResponse);
    EXPECT_EQ(run.responses, 2);
    EXPECT_EQ(run.pandas_prompts, (Steps{"generation", "correction"}));
    EXPECT_EQ(state["iteration_count_pandas"], 1);
    EXPECT_EQ(state["final_response"], "answer: output 2");
}

TEST(QueryTopology, AnalysisFailingUntilTheLimitEndsInTheSameStateAtAnyConcurrency) {
    const Steps expected = kToSchemas + kSqlAttempt + times(3, kAnalysis + kResponseAndRepair) + kResponse;
    Value first;
    for (const std::optional<int> concurrency :
         {std::optional<int>(20), std::optional<int>(1), std::optional<int>()}) {
        ScriptedRun run;
        run.pandas_ok.assign(10, false);
        graph::RunConfig config;
        config.max_concurrency = concurrency;
        const Value state = run.run(kInput, config);
        EXPECT_EQ(run.visits, expected);
        EXPECT_EQ(run.responses, 4);
        EXPECT_EQ(state["iteration_count_pandas"], 3);
        EXPECT_EQ(state["final_response"], "answer: error 3");
        if (first.is_null()) first = state;
        EXPECT_EQ(state, first);
    }
}

TEST(QueryTopology, ALoopingRunStopsAtTheRecursionLimit) {
    ScriptedRun run;  // a caller-supplied counter far below the limit keeps the repair loop going
    run.sql_ok.assign(100, false);
    Value input = kInput;
    input["iteration_count"] = -40;
    EXPECT_THROW(run.run(input), graph::GraphRecursionError);
    EXPECT_EQ(run.visits.size(), 50u);
}

}  // namespace
}  // namespace veltaai
