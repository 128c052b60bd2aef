#include "veltaai/server/command.h"

#include "veltaai/agent.h"
#include "veltaai/core/log.h"
#include "veltaai/core/text.h"
#include "veltaai/python/kernel.h"

#include <CLI/CLI.hpp>

#include <pthread.h>
#include <signal.h>

#include <cstdlib>
#include <iostream>
#include <thread>

namespace veltaai::server {
namespace {

int complain(const std::string& message) {
    std::cerr << "veltaai: " << message << std::endl;
    return 2;
}

}  // namespace

CLI::App* add_serve_command(CLI::App& app, ServeCommand& options) {
    CLI::App* command = app.add_subcommand("serve", "Answer questions over HTTP, with a web page");
    command->add_option("--database", options.database_url, "Database URL (default: $VELTAAI_DATABASE_URL)");
    command->add_option("--host", options.server.host, "Address to listen on")->capture_default_str();
    command->add_option("--port", options.server.port, "Port to listen on (0: any free port)")
        ->capture_default_str();
    command->add_option("--media", options.server.media_root, "Directory for the plots of the questions")
        ->capture_default_str();
    command->add_option("--max-in-flight", options.server.max_in_flight, "Questions answered at once")
        ->capture_default_str();
    command->add_option_function<double>(
        "--deadline",
        [&options](double seconds) {
            options.server.deadline = std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
        },
        "Seconds a question may take (default 120)");
    command->add_flag("-v,--verbose", options.verbose, "The library's info log on standard error");
    return command;
}

int serve(ServeCommand options) {
    if (!options.verbose) log::set_level(log::Level::warning);
    if (!options.database_url) options.database_url = environment_variable("VELTAAI_DATABASE_URL");
    if (!options.database_url)
        return complain("no database given: pass --database URL or set VELTAAI_DATABASE_URL");
    if (const auto token = environment_variable("VELTAAI_SERVER_TOKEN")) options.server.token = *token;

    // Signals go to one waiting thread, so every other thread (the server's) is started with
    // them blocked.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    std::shared_ptr<querygraph::QueryGraph> graph;
    std::unique_ptr<Server> server;
    try {
        graph = agent::create_agent_from_settings(*options.database_url);
        std::filesystem::create_directories(options.server.media_root);
        // One writable place for every question's directory, so a new question does not
        // restart the analysis sandbox to make its directory visible.
        python::KernelOptions kernel = python::default_analysis_kernel_options();
        kernel.writable_directories.push_back(std::filesystem::canonical(options.server.media_root).string());
        python::configure_analysis_kernel(std::move(kernel));
        server = std::make_unique<Server>(graph, options.server);
    } catch (const std::exception& error) {
        return complain(std::string("cannot start the server: ") + error.what());
    }
    std::cout << "veltaai: serving on http://" << options.server.host << ":" << server->port() << "/"
              << std::endl;

    std::thread stopper([&server, stop_signals] {
        int signal = 0;
        sigwait(&stop_signals, &signal);
        server->stop();
    });
    server->run();
    // Ended by a signal, or by the server failing: make sure the waiting thread ends too.
    pthread_kill(stopper.native_handle(), SIGTERM);
    stopper.join();
    return 0;
}

}  // namespace veltaai::server
