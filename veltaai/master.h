#pragma once
// The host's start-up face of the code execution environment: every codetool operation under
// its own name, plus two entry points that report failures by printing one line instead of
// throwing.

#include "veltaai/codetool.h"

#include <string>
#include <vector>

namespace veltaai::master {

using codetool::ensure_virtual_environment;
using codetool::execute_code;
using codetool::initialize_environment;
using codetool::install_defaults;
using codetool::install_dependencies;

// codetool::initialize_environment(env_path); on an error prints
// "An error occurred during initilization: " and the error, and returns.
void initialize_env(const std::string& env_path);

// codetool::install_dependencies, then "Installation successful."; on an error prints
// "An error occurred during installation: " and the error, and returns.
void safe_install_modules(const std::vector<std::string>& module_names);

}  // namespace veltaai::master
