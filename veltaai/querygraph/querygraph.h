#pragma once
// The query graph: the state record of one question's run, and the graph of nodes over it.

#include "veltaai/graph/state_schema.h"

namespace veltaai::querygraph {

// The record that carries one question through the query graph: 25 keys in declaration order,
// each with its merge rule. Lists of queries and results grow by appending; the repair
// counters grow by adding and read 0 before the first pass.
class SQLState : public graph::StateSchema {
public:
    SQLState();
};

}  // namespace veltaai::querygraph
