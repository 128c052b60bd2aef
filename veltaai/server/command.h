#pragma once
// The `veltaai serve` subcommand: its options and its run.

#include "veltaai/server/server.h"

#include <optional>
#include <string>

namespace CLI {
class App;
}  // namespace CLI

namespace veltaai::server {

struct ServeCommand {
    std::optional<std::string> database_url;  // default: $VELTAAI_DATABASE_URL
    ServerOptions server;                     // token from $VELTAAI_SERVER_TOKEN
    bool verbose = false;
};

// Adds "serve" and its options to app, filling options when parsed.
CLI::App* add_serve_command(CLI::App& app, ServeCommand& options);

// Builds the agent and serves until SIGINT or SIGTERM; the exit status (2 for a setup problem).
int serve(ServeCommand options);

}  // namespace veltaai::server
