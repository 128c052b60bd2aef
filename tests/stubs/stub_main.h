#pragma once
// Command line shared by the stub executables: --port N (0 or absent: a free port),
// --host H, and a JSON file (--script for the chat stub, --config for the service stub).
// The executable prints "listening on http://HOST:PORT" once serving, then runs until
// SIGINT or SIGTERM.

#include "veltaai/core/value.h"

#include <exception>
#include <iostream>
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

// Blocks SIGINT and SIGTERM in the calling thread and the threads it starts later, so that
// serve_until_signalled receives them; call it before any server thread starts.
void block_stop_signals();

// A stub program's main: Stub built from the file (or empty_file when none was given), the
// port and the host, served until stopped. Errors are printed after the program's name.
template <class Stub>
int run_stub_program(int argc, char** argv, const std::string& program, const std::string& file_flag,
                     const Value& empty_file) {
    block_stop_signals();
    const StubOptions options = parse_stub_options(argc, argv, file_flag);
    try {
        Stub stub(options.file.is_null() ? empty_file : options.file, options.port, options.host);
        serve_until_signalled(stub.url());
    } catch (const std::exception& error) {
        std::cerr << program << ": " << error.what() << "\n";
        return 1;
    }
    return 0;
}

}  // namespace veltaai::stubs
