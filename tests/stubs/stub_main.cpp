#include "stubs/stub_main.h"

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>

namespace veltaai::stubs {

StubOptions parse_stub_options(int argc, char** argv, const std::string& file_flag) {
    StubOptions options;
    const auto usage = [&](const std::string& problem) {
        std::cerr << argv[0] << ": " << problem << "\nusage: " << argv[0] << " [--port N] [--host H] ["
                  << file_flag << " FILE.json]\n";
        std::exit(2);
    };
    for (int i = 1; i < argc; ++i) {
        const std::string flag = argv[i];
        if (flag == "--help" || flag == "-h") usage("help");
        if (i + 1 >= argc) usage("missing value after " + flag);
        const std::string value = argv[++i];
        if (flag == "--port") {
            try {
                options.port = std::stoi(value);
            } catch (const std::exception&) {
                usage("bad port " + value);
            }
        } else if (flag == "--host") {
            options.host = value;
        } else if (flag == file_flag) {
            std::ifstream in(value);
            if (!in) usage("cannot read " + value);
            std::stringstream text;
            text << in.rdbuf();
            try {
                options.file = Value::parse(text.str());
            } catch (const nlohmann::json::parse_error& error) {
                usage(value + " is not JSON: " + error.what());
            }
        } else {
            usage("unknown option " + flag);
        }
    }
    return options;
}

void block_stop_signals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

void serve_until_signalled(const std::string& url) {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    std::cout << "listening on " << url << std::endl;
    int received = 0;
    sigwait(&signals, &received);
}

}  // namespace veltaai::stubs
