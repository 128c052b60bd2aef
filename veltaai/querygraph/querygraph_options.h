#pragma once
// Every default of the query graph in one record: how its models are called and how its runs
// are bounded. A default-built record gives the graph exactly as it has always been.

#include <chrono>

namespace veltaai::querygraph {

struct QueryGraphOptions {
    // Reply budgets of the models the graph builds from deployment records, by role.
    long table_choice_max_tokens = 8192;  // the syntax check, which reviews the query's tables
    long sql_max_tokens = 4096;           // writing SQL
    long response_max_tokens = 4096;      // the final answer
    long analysis_max_tokens = 8192;      // analysis code, its repairs and question rewrites
    // The function-calling table picker's reply budget and time limit.
    long picker_max_tokens = 800;
    std::chrono::seconds picker_timeout{240};

    // Every model call is deterministic and samples from the top 95% of the probability mass.
    double temperature = 0;
    double top_p = 0.95;
    // One model call, its retries included.
    std::chrono::milliseconds model_timeout{600000};
    // The Mermaid rendering service, for visualize_graph.
    std::chrono::seconds render_timeout{60};

    // Bounds of one run.
    int recursion_limit = 50;
    int max_concurrency = 20;
};

}  // namespace veltaai::querygraph
