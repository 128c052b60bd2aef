// veltaai-stub-service: the product service stub as a program.
#include "stubs/service_stub.h"
#include "stubs/stub_main.h"

int main(int argc, char** argv) {
    return veltaai::stubs::run_stub_program<veltaai::stubs::ServiceStub>(
        argc, argv, "veltaai-stub-service", "--config", veltaai::Value::object());
}
