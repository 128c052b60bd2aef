#pragma once
// The commands of the `veltaai` program. Each returns the process's exit status: 0 done,
// 1 the run failed, 2 the command line or the configuration is unusable.

#include "veltaai/cli/chat_setup.h"

#include <optional>
#include <string>
#include <vector>

namespace veltaai::cli {

enum ExitStatus { exit_ok = 0, exit_run_failed = 1, exit_usage = 2 };

struct AskOptions {
    std::string question;
    // Absent: VELTAAI_DATABASE_URL.
    std::optional<std::string> database_url;
    std::string media_dir = "media";
    // Which models answer; use_service takes the Azure configurations from the product service
    // (with VELTA_API_KEY) and reports usage there.
    ModelChoice models;
    // No progress on standard error.
    bool quiet = false;
    // The library's info log (node timings) on standard error as well.
    bool verbose = false;
    // One JSON document on standard output (answer_document.h) and nothing else there.
    bool json = false;
};

// Builds the agent, runs the question with progress on standard error, and prints the answer,
// the SQL queries, the analysis code and the plot's path on standard output. A question whose
// SQL never succeeded, or whose analysis code kept failing, still prints the answer and the
// queries, then what the database or Python said, and exits 1.
int ask(const AskOptions& options);

// The database's usable tables, one a line.
int tables(const std::optional<std::string>& database_url);
// The CREATE TABLE text and sample rows of each named table.
int schema(const std::optional<std::string>& database_url, const std::vector<std::string>& table_names);
// Runs one read-only statement through the agent's own guard and prints its rows (as the
// model sees them, or typed JSON with json).
int sql(const std::optional<std::string>& database_url, const std::string& statement, bool json);

enum class GraphFormat { ascii, mermaid, png };
// Draws the query graph: ASCII art or the Mermaid text on standard output, or a PNG image at
// png_path (rendered by the Mermaid service).
int draw_graph(GraphFormat format, const std::optional<std::string>& png_path = std::nullopt);

}  // namespace veltaai::cli
