// veltaai-stub-service: the product service stub as a program.
#include "stubs/service_stub.h"
#include "stubs/stub_main.h"

#include <csignal>
#include <iostream>

int main(int argc, char** argv) {
    // Block the stop signals before any server thread starts, so sigwait receives them.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    const auto options = veltaai::stubs::parse_stub_options(argc, argv, "--config");
    try {
        veltaai::stubs::ServiceStub stub(options.file.is_null() ? veltaai::Value::object() : options.file, options.port,
                                         options.host);
        veltaai::stubs::serve_until_signalled(stub.url());
    } catch (const std::exception& error) {
        std::cerr << "veltaai-stub-service: " << error.what() << "\n";
        return 1;
    }
    return 0;
}
