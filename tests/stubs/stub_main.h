#pragma once
// Command line shared by the stub executables: --port N (0 or absent: a free port),
// --host H, and a JSON file (--script for the chat stub, --config for the service stub).
// The executable prints "listening on http://HOST:PORT" once serving, then runs until
// SIGINT or SIGTERM.

#include "veltaai/core/value.h"

#include <string>

namespace veltaai::stubs {

struct StubOptions {
    int port = 0;
    std::string host = "127.0.0.1";
    Value file = nullptr;  // the parsed JSON file, or null
};

// Parses argv; file_flag is "--script" or "--config". Prints usage and exits on a bad line.
StubOptions parse_stub_options(int argc, char** argv, const std::string& file_flag);

// Prints the address line and blocks until SIGINT/SIGTERM.
void serve_until_signalled(const std::string& url);

}  // namespace veltaai::stubs
