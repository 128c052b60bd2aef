#include "veltaai/master.h"

#include "veltaai/core/status.h"

#include <cstdio>
#include <exception>
#include <iostream>

namespace veltaai::master {
namespace {

namespace texts {
constexpr const char* initialization_failed = "An error occurred during initilization: ";
constexpr const char* installation_successful = "Installation successful.";
constexpr const char* installation_failed = "An error occurred during installation: ";
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

void safe_install_modules(const std::vector<std::string>& module_names) {
    try {
        codetool::install_dependencies(module_names);
        print_line(texts::installation_successful);
    } catch (const std::exception& error) {
        print_line(texts::installation_failed + std::string(error.what()));
    }
}

}  // namespace veltaai::master
