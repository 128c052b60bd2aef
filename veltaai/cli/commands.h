#pragma once
// The commands of the `veltaai` program. Each returns the process's exit status: 0 done,
// 1 the run failed, 2 the command line or the configuration is unusable.

#include <optional>
#include <string>

namespace veltaai::cli {

enum ExitStatus { exit_ok = 0, exit_run_failed = 1, exit_usage = 2 };

struct AskOptions {
    std::string question;
    // Absent: VELTAAI_DATABASE_URL.
    std::optional<std::string> database_url;
    std::string media_dir = "media";
    // Take the chat configurations from the product service (with VELTA_API_KEY) and report
    // usage there, instead of the CHAT_35_* / CHAT_4_* settings.
    bool use_service = false;
    // No progress lines on standard error.
    bool quiet = false;
    // The library's info log (node timings) on standard error as well.
    bool verbose = false;
};

// Builds the agent, runs the question with progress on standard error, and prints the answer,
// the SQL queries, the analysis code and the plot's path on standard output. A question whose
// SQL never succeeded still prints the answer and the queries with their results, then the
// last database error, and exits 1.
int ask(const AskOptions& options);

// Draws the query graph: ASCII art on standard output, or a PNG image at png_path.
int draw_graph(const std::optional<std::string>& png_path);

}  // namespace veltaai::cli
