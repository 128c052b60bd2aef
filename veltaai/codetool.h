#pragma once
// The code execution environment: a Python virtual environment at a path the host chooses,
// pip installs into it, and a persistent namespace in which the host runs Python code and gets
// back what it printed. The code runs in a sandboxed kernel of its own (a child interpreter
// that never serves the query graph), never inside the host; once an environment exists, in
// that environment's interpreter.

#include "veltaai/core/errors.h"
#include "veltaai/python/kernel.h"

#include <optional>
#include <string>
#include <vector>

namespace veltaai::codetool {

// The virtual environment could not be created; the message carries the creator's own words.
class VirtualEnvironmentError : public Error {
public:
    using Error::Error;
};

// pip failed for some packages; the message names them.
class InstallError : public Error {
public:
    using Error::Error;
};

// Process-wide state, absent until set. env_path is set by initialize_environment;
// python_executable (env_path/bin/python) by ensure_virtual_environment, or by code run with
// execute_code that assigns it. No lock: the host sets these up before other use.
extern std::optional<std::string> env_path;
extern std::optional<std::string> python_executable;

// The packages a new environment gets, in installation order.
extern const std::vector<std::string> default_packages;

// Records env_path_param and ensures the environment there; its errors reach the caller.
void initialize_environment(const std::string& env_path_param);

// Creates a virtual environment (with pip) at env_path when nothing exists there, sets
// python_executable, and installs the default packages into a new environment. An existing
// path is trusted as it is. TypeError when env_path was never set.
void ensure_virtual_environment();

// safe_install_modules(default_packages).
void install_defaults();

// install_dependencies, then prints "Installation successful." (every package installed); on
// any error, a failed package included, prints "An error occurred during installation: " and
// the error instead. Never throws for an error.
void safe_install_modules(const std::vector<std::string>& module_names);

// Runs `python_executable -m pip install <name>` for each name in order, with the host's
// standard output and error. Every name is tried; InstallError afterwards names those pip
// failed for. Failing to start pip (no python_executable, missing interpreter) stops the loop
// and throws.
void install_dependencies(const std::vector<std::string>& dependencies);

// Runs code (a Python module) in the module's persistent namespace, which holds ast, os,
// subprocess, sys, tempfile, venv, StringIO, env_path, python_executable and media_path, and
// returns what it wrote to sys.stdout. Errors of the code are thrown as PythonError (traceback
// naming "<ast>"), SystemExit as PythonExit; the kernel's time limit and crashes as KernelError.
// env_path and python_executable follow the code's assignments to them, even when it fails.
// The kernel runs python_executable once that is an interpreter that starts (else the host's
// default, with a warning); changing interpreters starts a new one, which loses the namespace.
// The environment is visible to the code read-only; runs start in the kernel's working
// directory (the sandbox's private /tmp unless configured).
std::string execute_code(const std::string& code);

// The options execute_code's kernel starts with (the interpreter is chosen as above); the
// next run starts a new kernel with them.
void configure_kernel(python::KernelOptions options);
python::KernelOptions kernel_options();

}  // namespace veltaai::codetool
