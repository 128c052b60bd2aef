#pragma once
// The query graph: the state record of one question's run, and the graph of nodes over it.
//
//     auto db = CustomSQLDatabase::from_uri("sqlite:///chinook.sqlite");
//     QueryGraph graph(db, AzureOpenAIChat35{}, AzureOpenAIChat4{});
//     Value state = graph.invoke({{"user_question", "Top 3 genres?"}, {"save_path", "media"}});
//     std::string answer = state["final_response"];
//
// Or with any chat models, one per role:
//
//     GraphModels models{.sql = std::make_shared<llm::ChatOpenAI>(...), .general = ...};
//     QueryGraph graph(db, models);

#include "veltaai/core/value.h"
#include "veltaai/graph/run_config.h"
#include "veltaai/graph/state_graph.h"
#include "veltaai/graph/state_schema.h"
#include "veltaai/querygraph/querygraph_options.h"
#include "veltaai/settings.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace veltaai::llm {
class AzureChatOpenAI;
class ChatModel;
}  // namespace veltaai::llm
namespace veltaai::function_calling {
class RelevantTablePicker;
}  // namespace veltaai::function_calling

namespace veltaai::querygraph {

class CustomSQLDatabase;

// The record that carries one question through the query graph: 25 keys in declaration order,
// each with its merge rule. Lists of queries and results grow by appending; the repair
// counters grow by adding and read 0 before the first pass.
class SQLState : public graph::StateSchema {
public:
    SQLState();
};

// The chat models of a query graph by role. Both are required.
struct GraphModels {
    std::shared_ptr<llm::ChatModel> sql;      // writes the SQL queries
    std::shared_ptr<llm::ChatModel> general;  // every other step: tables, checks, analysis, answer
};

// One question-answering pipeline over one database: five chat models, the relevant-table
// picker and thirteen nodes, wired and compiled once in the constructor. It holds nothing
// that changes after construction, so one object serves any number of runs, also at the same
// time from several threads.
class QueryGraph {
public:
    // Construction fails, with the failing component's error, when a chat model, the picker
    // or the graph cannot be built; a null handle is a ValueError.
    QueryGraph(std::shared_ptr<CustomSQLDatabase> custom_sql_db, AzureOpenAIChat35 config_35,
               AzureOpenAIChat4 config_4, QueryGraphOptions options = {});

    // A graph over the given models, used as they are configured. The tables a question needs
    // are chosen by a prompt to the general model instead of the Azure function-calling picker,
    // so any OpenAI-compatible service can serve every step. The Azure accessors below are null.
    // A missing model is a ValueError.
    QueryGraph(std::shared_ptr<CustomSQLDatabase> custom_sql_db, GraphModels models,
               QueryGraphOptions options = {});

    // A run configuration. Each argument's kind is checked (TypeError naming it): metadata a
    // record or null, tags a list of texts, max_concurrency an integer or null, recursion_limit
    // an integer.
    static graph::RunConfig _config_graph(const Value& metadata = nullptr,
                                          const Value& tags = Value::array({"querygraph"}),
                                          const Value& max_concurrency = 20,
                                          const Value& recursion_limit = 50);

    // Wires the query topology over this object's nodes into graph() and compiles it. The constructor calls
    // it once; the configuration is applied per run, not here.
    graph::CompiledGraph _compile_graph(const graph::RunConfig& runnable_config);

    // Runs one question: inputs is the run's input record (user_question, save_path), anything
    // else is a TypeError before any node runs. Returns the final state. Errors of nodes and of
    // the runtime (GraphRecursionError past 50 steps) pass through unchanged. The observer, when
    // given, sees every node start and finish (the command line shows them as progress).
    Value invoke(const Value& inputs) const;
    Value invoke(const Value& inputs, graph::RunObserver observer) const;
    // The same, stopped early by cancellation (RunCancelled) or at the deadline
    // (DeadlineExceeded): between steps, and inside model calls and analysis runs.
    Value invoke(const Value& inputs, graph::RunObserver observer,
                 std::shared_ptr<const Cancellation> cancellation,
                 std::optional<std::chrono::steady_clock::time_point> deadline = std::nullopt) const;

    // "ascii" (exactly): prints the graph to standard output. Anything else: renders the graph
    // as a Mermaid diagram through the rendering service at VELTAAI_MERMAID_URL (default
    // https://mermaid.ink) and saves it at save_graph_path in the format its extension names
    // (.png, .jpg/.jpeg, .bmp, .tga; others are a ValueError). A failed fetch (HttpError),
    // undecodable image (ValueError) or failed write (Error) leaves no file behind.
    void visualize_graph(const std::string& visualization_type = "ascii",
                         const std::string& save_graph_path = "graph_visualization.png") const;

    const std::shared_ptr<CustomSQLDatabase>& db() const { return db_; }
    const GraphModels& models() const { return models_; }
    const QueryGraphOptions& options() const { return options_; }
    const graph::StateGraph& graph() const { return graph_; }
    const graph::RunConfig& runnable_config() const { return runnable_config_; }
    const std::shared_ptr<llm::AzureChatOpenAI>& relevant_tables_model() const {
        return relevant_tables_model_;
    }
    const std::shared_ptr<llm::AzureChatOpenAI>& sql_generation_model() const {
        return sql_generation_model_;
    }
    const std::shared_ptr<llm::AzureChatOpenAI>& response_model() const { return response_model_; }
    const std::shared_ptr<llm::AzureChatOpenAI>& pandas_code_model() const { return pandas_code_model_; }
    const std::shared_ptr<llm::AzureChatOpenAI>& pandas_ai_model() const { return pandas_ai_model_; }
    const std::shared_ptr<function_calling::RelevantTablePicker>& relevant_table_picker() const {
        return relevant_table_picker_;
    }
    const graph::CompiledGraph& compiled_graph() const { return *compiled_graph_; }

private:
    // Starts the interpreters and compiles the graph; the last step of both constructors.
    void finish_construction();

    QueryGraphOptions options_;
    GraphModels models_;
    AzureOpenAIChat35 config_35_;
    std::shared_ptr<CustomSQLDatabase> db_;
    graph::StateGraph graph_;
    graph::RunConfig runnable_config_;
    std::shared_ptr<llm::AzureChatOpenAI> relevant_tables_model_;
    std::shared_ptr<llm::AzureChatOpenAI> sql_generation_model_;
    std::shared_ptr<llm::AzureChatOpenAI> response_model_;
    std::shared_ptr<llm::AzureChatOpenAI> pandas_code_model_;
    std::shared_ptr<llm::AzureChatOpenAI> pandas_ai_model_;
    std::shared_ptr<function_calling::RelevantTablePicker> relevant_table_picker_;
    std::optional<graph::CompiledGraph> compiled_graph_;  // set once, at the end of construction
};

// The query graph's wiring: its thirteen nodes in the order they are added, its edges and its
// routes. The entry node, the two repair handlers and the routing conditions are the graph's
// own; the ten nodes that need a model or the database come from node_for(name).
graph::StateGraph query_topology(const std::function<graph::Node(const std::string& name)>& node_for);

// The query graph as a drawing, made without models, database or interpreters.
graph::DrawableGraph query_graph_drawing();

// Prints drawable ("ascii") or renders it as visualize_graph does.
void visualize(const graph::DrawableGraph& drawable, const std::string& visualization_type = "ascii",
               const std::string& save_graph_path = "graph_visualization.png");

}  // namespace veltaai::querygraph
