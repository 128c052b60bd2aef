// The entry node, the repair handlers and the routing conditions, on hand-made states.

#include "veltaai/graph/state_graph.h"
#include "veltaai/querygraph/querygraph.h"
#include "veltaai/querygraph/querynodes.h"

#include <gtest/gtest.h>

namespace veltaai::querygraph {
namespace {

using graph::StateView;

// The state a condition sees after its handler: the update merged by the state's own rules.
Value merged(Value state, const Value& update) {
    const SQLState schema;
    for (const auto& [key, value] : update.items()) graph::StateSchema::merge_into(state, *schema.find(key), Value(value));
    return state;
}

Value run_initialisation(const Value& input) {
    graph::StateGraph g{SQLState{}};
    g.add_node("init_node", initialisation).set_entry_point("init_node");
    return g.compile().invoke(input);
}

TEST(Initialisation, StartsTheRunAndKeepsWhatTheCallerAccumulated) {
    const Value fresh = run_initialisation({{"user_question", "q"}, {"save_path", "/m"}});
    EXPECT_EQ(fresh, Value::parse(R"({"user_question": "q", "generated_sql_query": [], "execution_error": [],
        "sql_execution_result": [], "save_path": "/m", "iteration_count": 0, "iteration_count_pandas": 0,
        "rewrite_count": 0, "rewritten_question": "", "max_iterations": 5, "max_iterations_pandas": 3})"));

    const Value supplied = run_initialisation({{"user_question", "q"}, {"generated_sql_query", {"SELECT 0"}},
                                               {"follow_up_question", {"why?"}}, {"iteration_count", 3},
                                               {"iteration_count_pandas", 2}, {"max_iterations", 9},
                                               {"rewrite_count", 1}});
    EXPECT_EQ(supplied["generated_sql_query"], Value({"SELECT 0"}));
    EXPECT_EQ(supplied["follow_up_question"], Value({"why?"}));
    EXPECT_EQ(supplied["iteration_count"], 3);
    EXPECT_EQ(supplied["iteration_count_pandas"], 2);
    EXPECT_EQ(supplied["max_iterations"], 5);
    EXPECT_EQ(supplied["rewrite_count"], 0);
}

TEST(SqlErrorHandling, CountsRepairsThenRewritesOnceThenGivesUp) {
    const Value repair = {{"iteration_count", 1}, {"sql_generation_prompt_type", "correction"}};
    const Value rewrite = {{"rewrite_count", 1}};
    const Value give_up = {{"sql_execution_result", {"SQL generation failed after max iterations"}}, {"iteration_count", 0}};
    struct Case {
        Value i, r, m, update;
        std::string route;
    };
    const std::vector<Case> cases = {
        {0, 0, 5, repair, "regenerate_sql_query"},  {2, 0, 5, repair, "regenerate_sql_query"},
        {4, 0, 5, repair, "rewrite_query"},         {5, 0, 5, rewrite, "terminal_failure_response"},
        {6, 0, 5, give_up, "terminal_failure_response"}, {1, 1, 5, give_up, "terminal_failure_response"},
        {5.0, 0, 5, rewrite, "terminal_failure_response"}, {4.5, 0, 5, repair, "terminal_failure_response"},
    };
    for (const Case& c : cases) {
        Value state = {{"iteration_count", c.i}, {"rewrite_count", c.r}, {"max_iterations", c.m}, {"sql_execution_result", {"e"}}};
        StateView view(state);
        const Value update = handle_sql_error(view);
        EXPECT_EQ(update, c.update) << "i=" << c.i << " r=" << c.r;
        Value after = merged(state, update);
        EXPECT_EQ(sql_error_handler_condition(StateView(after)), c.route) << "i=" << c.i << " r=" << c.r;
    }
    Value wrong_kind = {{"iteration_count", "2"}, {"rewrite_count", 0}, {"max_iterations", 5}};
    StateView view(wrong_kind);
    EXPECT_THROW(handle_sql_error(view), TypeError);
}

TEST(PandasErrorHandling, RepairsBelowTheLimitAndGivesUpAtIt) {
    const Value repair = {{"iteration_count_pandas", 1}, {"pandas_generation_prompt_type", "correction"}};
    const Value give_up = {{"python_executed_output", "Python generation failed after max iterations"}, {"iteration_count_pandas", 0}};
    const std::vector<std::tuple<int, int, Value, std::string>> cases = {
        {0, 3, repair, "regenerate_pandas_code"},
        {2, 3, repair, "terminal_failure_response"},
        {0, 0, give_up, "terminal_failure_response"},
        {4, 3, give_up, "terminal_failure_response"},
    };
    for (const auto& [k, limit, expected, route] : cases) {
        Value state = {{"iteration_count_pandas", k}, {"max_iterations_pandas", limit}};
        StateView view(state);
        const Value update = handle_pandas_error(view);
        EXPECT_EQ(update, expected) << "k=" << k << " limit=" << limit;
        Value after = merged(state, update);
        EXPECT_EQ(pandas_error_handler_condition(StateView(after)), route) << "k=" << k << " limit=" << limit;
    }
}

TEST(Conditions, FollowTheTruthOfTheirKey) {
    const std::vector<std::tuple<std::string, std::string (*)(const StateView&), std::string, std::string>> conditions = {
        {"execution_success", sql_execution_condition, "pandas_generation", "sql_execution_error"},
        {"python_execution_success", pandas_execution_condition, "final_response", "pandas_execution_error"},
        {"is_valid_syntax", sql_syntax_condition, "sql_execute", "sql_syntax_error"},
        {"use_pandas_ai_flag", pandas_code_condition, "use_pandas", "generate_response"},
    };
    for (const auto& [key, condition, yes, no] : conditions) {
        for (const Value& truthy : {Value(true), Value(1), Value("yes")}) {
            Value state = {{key, truthy}};
            EXPECT_EQ(condition(StateView(state)), yes) << key << "=" << truthy;
        }
        for (const Value& falsy : {Value(false), Value(), Value(0), Value("")}) {
            Value state = {{key, falsy}};
            EXPECT_EQ(condition(StateView(state)), no) << key << "=" << falsy;
        }
    }
}

TEST(Conditions, AMissingKeyEndsTheRun) {
    Value state = {{"iteration_count_pandas", 0}};
    StateView view(state);
    try {
        handle_pandas_error(view);
        FAIL() << "expected KeyError";
    } catch (const KeyError& e) {
        EXPECT_EQ(e.key(), "max_iterations_pandas");
    }
    EXPECT_THROW(sql_execution_condition(view), KeyError);
    EXPECT_THROW(handle_sql_error(view), KeyError);
}

}  // namespace
}  // namespace veltaai::querygraph
