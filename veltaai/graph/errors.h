#pragma once
// Errors of the state-graph runtime itself, as opposed to errors raised by nodes (which reach
// the caller of a run unchanged).

#include "veltaai/core/errors.h"

namespace veltaai::graph {

// A run took more steps than its recursion limit allows.
class GraphRecursionError : public Error {
public:
    using Error::Error;
};

// A routing condition returned a text that its edge's mapping does not name.
class InvalidRouteError : public Error {
public:
    using Error::Error;
};

// Two nodes of one step wrote the same replaced key.
class InvalidUpdateError : public Error {
public:
    using Error::Error;
};

}  // namespace veltaai::graph
