// veltaai-stub-chat: the scripted chat completions server as a program.
#include "stubs/chat_stub.h"
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

    const auto options = veltaai::stubs::parse_stub_options(argc, argv, "--script");
    try {
        veltaai::stubs::ChatStub stub(options.file.is_null() ? veltaai::Value::array() : options.file, options.port,
                                      options.host);
        veltaai::stubs::serve_until_signalled(stub.url());
    } catch (const std::exception& error) {
        std::cerr << "veltaai-stub-chat: " << error.what() << "\n";
        return 1;
    }
    return 0;
}
