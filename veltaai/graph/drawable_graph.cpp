#include "veltaai/graph/drawable_graph.h"

#include <algorithm>
#include <cctype>
#include <unordered_map>

namespace veltaai::graph {
namespace {

// Mermaid reads "end" (any case) as a keyword and cannot take arbitrary characters in an id,
// so such names get a positional id; the label still shows the real name.
bool usable_mermaid_id(const std::string& name) {
    if (name.empty()) return false;
    std::string lower;
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (!std::isalnum(byte) && c != '_') return false;
        lower += static_cast<char>(std::tolower(byte));
    }
    return lower != "end" && lower != "graph" && lower != "subgraph" && lower != "flowchart";
}

// Label text inside double quotes: the quote itself becomes an entity.
std::string mermaid_label(const std::string& text) {
    std::string out;
    for (const char c : text) {
        if (c == '"') {
            out += "#quot;";
        } else if (c == '\n') {
            out += ' ';
        } else {
            out += c;
        }
    }
    return "\"" + out + "\"";
}

}  // namespace

std::string DrawableGraph::draw_ascii() const {
    std::size_t width = 0;
    for (const auto& edge : edges) width = std::max(width, edge.target.size());
    std::string out;
    for (const auto& node : nodes) {
        out += node + "\n";
        for (const auto& edge : edges) {
            if (edge.source != node) continue;
            out += edge.conditional() ? "  -.-> " : "  ---> ";
            out += edge.target;
            if (edge.conditional())
                out += std::string(width - edge.target.size(), ' ') + "  [" + *edge.label + "]";
            out += "\n";
        }
    }
    return out;
}

std::string DrawableGraph::draw_mermaid() const {
    std::unordered_map<std::string, std::string> ids;
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        ids.emplace(nodes[i], usable_mermaid_id(nodes[i]) ? nodes[i] : "node_" + std::to_string(i));
    }
    const auto id = [&](const std::string& name) {
        const auto it = ids.find(name);
        return it != ids.end() ? it->second : name;
    };
    std::string out = "flowchart TD\n";
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        const bool terminal = i == 0 || i + 1 == nodes.size();
        const std::string label = mermaid_label(nodes[i]);
        out += "    " + id(nodes[i]) + (terminal ? "([" + label + "])" : "[" + label + "]") + "\n";
    }
    for (const auto& edge : edges) {
        out += "    " + id(edge.source);
        out += edge.conditional() ? " -.->|" + mermaid_label(*edge.label) + "| " : " --> ";
        out += id(edge.target) + "\n";
    }
    return out;
}

}  // namespace veltaai::graph
