#pragma once
// The query graph's thirteen nodes and edges, wired in the order the real graph is built, with
// the real entry node, repair handlers and conditions. The ten nodes that need a model or a
// database come from stand_in(name).

#include "veltaai/graph/state_graph.h"
#include "veltaai/querygraph/querygraph.h"
#include "veltaai/querygraph/querynodes.h"

#include <functional>
#include <string>

namespace veltaai::testing {

inline graph::CompiledGraph build_query_topology(const std::function<graph::Node(const std::string&)>& stand_in) {
    using namespace querygraph;
    graph::StateGraph g{SQLState{}};
    g.add_node("init_node", initialisation);
    g.set_entry_point("init_node");
    g.add_node("table_names_lookup_node", stand_in("table_names_lookup_node"));
    g.add_edge("init_node", "table_names_lookup_node");
    g.add_node("relevant_table_names_node", stand_in("relevant_table_names_node"));
    g.add_edge("table_names_lookup_node", "relevant_table_names_node");
    g.add_node("relevant_schemas_node", stand_in("relevant_schemas_node"));
    g.add_edge("relevant_table_names_node", "relevant_schemas_node");
    g.add_node("sql_generation_node", stand_in("sql_generation_node"));
    g.add_edge("relevant_schemas_node", "sql_generation_node");
    g.add_node("rewrite_query_node", stand_in("rewrite_query_node"));
    g.add_edge("rewrite_query_node", "relevant_table_names_node");
    g.add_node("sql_syntax_checker_node", stand_in("sql_syntax_checker_node"));
    g.add_edge("sql_generation_node", "sql_syntax_checker_node");
    g.add_node("sql_execution_node", stand_in("sql_execution_node"));
    g.add_edge("sql_syntax_checker_node", "sql_execution_node");
    g.add_node("pandas_generator_node", stand_in("pandas_generator_node"));
    g.add_node("pandas_executor_node", stand_in("pandas_executor_node"));
    g.add_edge("pandas_generator_node", "pandas_executor_node");
    g.add_node("final_response_generation_node", stand_in("final_response_generation_node"));
    g.add_edge("final_response_generation_node", graph::END);
    g.add_edge("pandas_executor_node", "final_response_generation_node");
    g.add_node("pandas_error_handler_node", handle_pandas_error);
    g.add_conditional_edges("pandas_executor_node", pandas_execution_condition,
                            {{"final_response", "final_response_generation_node"},
                             {"pandas_execution_error", "pandas_error_handler_node"}});
    g.add_node("sql_error_handler_node", handle_sql_error);
    g.add_conditional_edges("sql_execution_node", sql_execution_condition,
                            {{"pandas_generation", "pandas_generator_node"},
                             {"sql_execution_error", "sql_error_handler_node"}});
    g.add_conditional_edges("sql_error_handler_node", sql_error_handler_condition,
                            {{"regenerate_sql_query", "sql_generation_node"},
                             {"terminal_failure_response", "final_response_generation_node"},
                             {"rewrite_query", "rewrite_query_node"}});
    g.add_conditional_edges("pandas_error_handler_node", pandas_error_handler_condition,
                            {{"regenerate_pandas_code", "pandas_generator_node"},
                             {"terminal_failure_response", "final_response_generation_node"}});
    return g.compile();
}

}  // namespace veltaai::testing
