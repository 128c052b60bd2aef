#pragma once
// A small state-graph runtime. A StateGraph names nodes over a declared state record, joins
// them with plain and conditional edges and compiles into a CompiledGraph, which runs a record
// through the nodes in steps: every node scheduled for a step sees the state as it was at the
// start of the step, and the updates the nodes return are merged, key by key, after the step.

#include "veltaai/core/value.h"
#include "veltaai/graph/drawable_graph.h"
#include "veltaai/graph/errors.h"
#include "veltaai/graph/run_config.h"
#include "veltaai/graph/state_schema.h"
#include "veltaai/graph/state_view.h"

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace veltaai::graph {

// Names of the run's start and end. END is a valid edge target: it schedules nothing.
inline constexpr char START[] = "__start__";
inline constexpr char END[] = "__end__";

// A node returns an update record, or null for no change.
using Node = std::function<Value(StateView&)>;
// A routing condition reads the state (with its own node's update applied) and names a route.
using Condition = std::function<std::string(const StateView&)>;
// Condition result -> target node (or END), in the order the routes should be drawn.
using RouteMap = std::vector<std::pair<std::string, std::string>>;

class CompiledGraph;
namespace detail {
struct GraphPlan;
}

class StateGraph {
public:
    explicit StateGraph(StateSchema schema);

    // Names must be unique, non-empty and neither START nor END (ValueError).
    StateGraph& add_node(std::string name, Node node);
    // source may be START, which makes target the entry point (a graph has one: a second,
    // different one is a ValueError); target may be END.
    StateGraph& add_edge(std::string source, std::string target);
    StateGraph& add_conditional_edges(std::string source, Condition condition, RouteMap mapping);
    StateGraph& set_entry_point(std::string name);

    // Checks that the entry point and every edge end name an added node (ValueError) and
    // freezes the graph. The builder can be compiled again.
    CompiledGraph compile() const;

private:
    struct PlainEdge {
        std::string source;
        std::string target;
    };
    struct ConditionalEdge {
        std::string source;
        Condition condition;
        RouteMap mapping;
    };
    struct EdgeOrder {
        bool conditional;
        std::size_t index;
    };

    StateSchema schema_;
    std::vector<std::pair<std::string, Node>> nodes_;
    std::vector<PlainEdge> plain_edges_;
    std::vector<ConditionalEdge> conditional_edges_;
    std::vector<EdgeOrder> edge_order_;
    std::string entry_point_;
};

class CompiledGraph {
public:
    // Runs input (a record; TypeError otherwise) to the end and returns the final state: every
    // declared key that has a value, in declaration order. Undeclared input keys are dropped.
    // An error raised by a node or a condition reaches the caller as it was raised;
    // GraphRecursionError when the run needs more than config.recursion_limit steps,
    // InvalidRouteError when a condition names no route of its edge, InvalidUpdateError when two
    // nodes of one step write the same replaced key.
    // Thread safety: a compiled graph may run several inputs at the same time from different
    // threads; a StateGraph being built is not to be shared.
    Value invoke(Value input, const RunConfig& config = {}) const;

    DrawableGraph get_graph() const;
    const StateSchema& schema() const;

private:
    friend class StateGraph;
    explicit CompiledGraph(std::shared_ptr<const detail::GraphPlan> plan);

    std::shared_ptr<const detail::GraphPlan> plan_;
};

}  // namespace veltaai::graph
