#pragma once
// The drawable form of a compiled graph: its nodes, the start and the end, and its edges with
// the results that label conditional ones. Drawn as plain text or as a Mermaid flowchart.

#include <optional>
#include <string>
#include <vector>

namespace veltaai::graph {

struct DrawableEdge {
    std::string source;
    std::string target;
    // The condition result that leads along this edge; nothing for a plain edge.
    std::optional<std::string> label;

    bool conditional() const { return label.has_value(); }
    bool operator==(const DrawableEdge&) const = default;
};

struct DrawableGraph {
    // "__start__", the nodes in the order they were added, "__end__".
    std::vector<std::string> nodes;
    // The start edge first, then edges in the order they were added; a conditional edge gives
    // one entry per result of its mapping.
    std::vector<DrawableEdge> edges;

    // A listing of the nodes and of every edge, one per line; conditional edges show their
    // result between dots.
    std::string draw_ascii() const;
    // A Mermaid flowchart: start and end as rounded boxes, conditional edges dotted and
    // labelled with their result.
    std::string draw_mermaid() const;
};

}  // namespace veltaai::graph
