// veltaai-stub-chat: the scripted chat completions server as a program.
#include "stubs/chat_stub.h"
#include "stubs/stub_main.h"

int main(int argc, char** argv) {
    return veltaai::stubs::run_stub_program<veltaai::stubs::ChatStub>(argc, argv, "veltaai-stub-chat",
                                                                      "--script", veltaai::Value::array());
}
