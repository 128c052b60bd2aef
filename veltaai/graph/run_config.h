#pragma once
// How one run of a compiled graph is carried out: step and concurrency limits, tracing labels,
// an optional observer of node starts and finishes, and cancellation and a deadline.

#include "veltaai/core/cancellation.h"
#include "veltaai/core/value.h"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace veltaai::graph {

// A node started, finished or raised. node names a node of the graph and stays valid for the
// life of the compiled graph; duration is zero for a start.
struct RunEvent {
    enum class Kind { started, finished, failed };
    Kind kind;
    std::string_view node;
    int step;
    std::chrono::nanoseconds duration;
};

// Called for every event of a run, one call at a time, possibly from a worker thread when a
// step runs several nodes.
using RunObserver = std::function<void(const RunEvent&)>;

struct RunConfig {
    // Most steps in one run; the input step is not counted.
    int recursion_limit = 50;
    // Most node calls running at the same time; nothing means no limit.
    std::optional<int> max_concurrency = 20;
    // Tracing labels carried with the run; the runtime does not read them.
    Value metadata = nullptr;
    std::vector<std::string> tags = {"querygraph"};
    RunObserver observer;
    // Stops the run early: checked before every step and, through the run's context, by the
    // HTTP client and the Python kernel while they wait. A cancelled run raises RunCancelled,
    // one past its deadline DeadlineExceeded.
    std::shared_ptr<const Cancellation> cancellation;
    std::optional<std::chrono::steady_clock::time_point> deadline;
};

}  // namespace veltaai::graph
