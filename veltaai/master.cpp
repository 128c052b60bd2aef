#include "veltaai/master.h"

#include "veltaai/core/status.h"

#include <cstdio>
#include <exception>
#include <iostream>

namespace veltaai::master {
namespace {

namespace texts {
constexpr const char* initialization_failed = "An error occurred during initilization: ";
}  // namespace texts

void print_line(const std::string& line) {
    std::fflush(stdout);
    status_line(line);
}

}  // namespace

void initialize_env(const std::string& env_path) {
    try {
        codetool::initialize_environment(env_path);
    } catch (const std::exception& error) {
        print_line(texts::initialization_failed + std::string(error.what()));
    }
}

// The same report as the code tool's own.
void safe_install_modules(const std::vector<std::string>& module_names) {
    codetool::safe_install_modules(module_names);
}

}  // namespace veltaai::master
