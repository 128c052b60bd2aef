// The entry node, the repair handlers and the routing conditions, on hand-made states.

#include "veltaai/graph/state_graph.h"
#include "veltaai/querygraph/querygraph.h"
#include "veltaai/querygraph/querynodes.h"

#include <gtest/gtest.h>

namespace veltaai::querygraph {
namespace {

using graph::StateView;

// Calls handler on state, checks its update, then the route its condition takes on the state
// with the update merged by the state's own rules.
void expect_handled(Value state, Value (*handler)(StateView&), std::string (*condition)(const StateView&),
                    const Value& update, const std::string& route) {
    StateView view(state);
    EXPECT_EQ(handler(view), update) << state;
    for (const auto& [key, value] : update.items())
        graph::StateSchema::merge_into(state, *SQLState().find(key), Value(value));
    EXPECT_EQ(condition(StateView(state)), route) << state;
}

TEST(Initialisation, StartsTheRunAndKeepsWhatTheCallerAccumulated) {
    graph::StateGraph g{SQLState{}};
    const graph::CompiledGraph init =
        g.add_node("init_node", initialisation).set_entry_point("init_node").compile();
    EXPECT_EQ(init.invoke({{"user_question", "q"}, {"save_path", "/m"}}),
              Value::parse(R"({"user_question": "q", "generated_sql_query": [], "execution_error": [],
                  "sql_execution_result": [], "save_path": "/m", "iteration_count": 0, "iteration_count_pandas": 0,
                  "rewrite_count": 0, "rewritten_question": "", "max_iterations": 5, "max_iterations_pandas": 3})"));
    // Values the caller accumulated are neither lost nor counted twice; the limits are reset.
    const Value kept = init.invoke({{"generated_sql_query", {"SELECT 0"}},
                                    {"follow_up_question", {"why?"}},
                                    {"iteration_count", 3},
                                    {"iteration_count_pandas", 2},
                                    {"max_iterations", 9}});
    EXPECT_EQ(kept["generated_sql_query"], Value({"SELECT 0"}));
    EXPECT_EQ(kept["follow_up_question"], Value({"why?"}));
    EXPECT_EQ(kept["iteration_count"], 3);
    EXPECT_EQ(kept["iteration_count_pandas"], 2);
    EXPECT_EQ(kept["max_iterations"], 5);
}

TEST(SqlErrorHandling, CountsRepairsThenRewritesOnceThenGivesUp) {
    const Value repair = {{"iteration_count", 1}, {"sql_generation_prompt_type", "correction"}};
    const Value rewrite = {{"rewrite_count", 1}};
    const Value give_up = {{"sql_execution_result", {"SQL generation failed after max iterations"}},
                           {"iteration_count", 0}};
    const std::vector<std::tuple<Value, Value, Value, std::string>> cases = {
        {0, 0, repair, "regenerate_sql_query"},
        {2, 0, repair, "regenerate_sql_query"},
        {4, 0, repair, "rewrite_query"},
        {5, 0, rewrite, "terminal_failure_response"},
        {6, 0, give_up, "terminal_failure_response"},
        {1, 1, give_up, "terminal_failure_response"},
        {5.0, 0, rewrite, "terminal_failure_response"},
    };
    for (const auto& [i, r, update, route] : cases) {
        expect_handled({{"iteration_count", i},
                        {"rewrite_count", r},
                        {"max_iterations", 5},
                        {"sql_execution_result", {"e"}}},
                       handle_sql_error, sql_error_handler_condition, update, route);
    }
    Value text_counter = {{"iteration_count", "2"}, {"rewrite_count", 0}, {"max_iterations", 5}};
    StateView view(text_counter);
    EXPECT_THROW(handle_sql_error(view), TypeError);
}

TEST(PandasErrorHandling, RepairsBelowTheLimitAndGivesUpAtIt) {
    const Value repair = {{"iteration_count_pandas", 1}, {"pandas_generation_prompt_type", "correction"}};
    const Value give_up = {{"python_executed_output", "Python generation failed after max iterations"},
                           {"iteration_count_pandas", 0}};
    const std::vector<std::tuple<int, int, Value, std::string>> cases = {
        {0, 3, repair, "regenerate_pandas_code"},
        {2, 3, repair, "terminal_failure_response"},
        {0, 0, give_up, "terminal_failure_response"},
        {4, 3, give_up, "terminal_failure_response"}};
    for (const auto& [k, limit, update, route] : cases) {
        expect_handled({{"iteration_count_pandas", k}, {"max_iterations_pandas", limit}}, handle_pandas_error,
                       pandas_error_handler_condition, update, route);
    }
}

TEST(Conditions, FollowTheTruthOfTheirKeyAndNeedIt) {
    const std::vector<std::tuple<std::string, std::string (*)(const StateView&), std::string, std::string>>
        conditions = {
            {"execution_success", sql_execution_condition, "pandas_generation", "sql_execution_error"},
            {"python_execution_success", pandas_execution_condition, "final_response",
             "pandas_execution_error"},
            {"is_valid_syntax", sql_syntax_condition, "sql_execute", "sql_syntax_error"},
            {"use_pandas_ai_flag", pandas_code_condition, "use_pandas", "generate_response"},
        };
    for (const auto& [key, condition, yes, no] : conditions) {
        const std::vector<std::pair<Value, std::string>> cases = {
            {true, yes}, {1, yes}, {"yes", yes}, {false, no}, {nullptr, no}, {0, no}, {"", no}};
        for (const auto& [value, route] : cases) {
            Value state = {{key, value}};
            EXPECT_EQ(condition(StateView(state)), route) << key << "=" << value;
        }
    }
    Value state = {{"iteration_count_pandas", 0}};
    StateView view(state);
    try {
        handle_pandas_error(view);
        FAIL() << "expected KeyError";
    } catch (const KeyError& e) {
        EXPECT_EQ(e.key(), "max_iterations_pandas");
    }
    EXPECT_THROW(sql_execution_condition(view), KeyError);
}

}  // namespace
}  // namespace veltaai::querygraph
