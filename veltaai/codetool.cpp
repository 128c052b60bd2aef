#include "veltaai/codetool.h"

#include "veltaai/core/log.h"
#include "veltaai/core/process.h"
#include "veltaai/core/status.h"
#include "veltaai/core/value.h"
#include "veltaai/python/kernel.h"

#include <cstdio>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <set>

#include <unistd.h>

namespace veltaai::codetool {

std::optional<std::string> env_path;
std::optional<std::string> python_executable;

const std::vector<std::string> default_packages = {"matplotlib",  "scikit-learn", "numpy",
                                                   "statsmodels", "pandas",       "scipy"};

namespace {

namespace texts {
constexpr const char* installation_successful = "Installation successful.";
constexpr const char* installation_failed = "An error occurred during installation: ";
constexpr const char* env_path_not_set = "env_path is not set: call initialize_environment first";
constexpr const char* executable_not_set = "python_executable is not set: call initialize_environment first";
constexpr const char* creation_failed = "could not create a virtual environment at ";
constexpr const char* pip_failed = "pip could not install: ";
}  // namespace texts

// The namespace every execute_code run shares.
constexpr const char* namespace_name = "veltaai.codetool";

// How the shared namespace starts out: the modules and names code may use, and the module's
// operations as Python functions over the namespace's own env_path and python_executable, which
// the host reads back after every run; so code that calls initialize_environment moves the
// host's environment too. Their texts are this module's; environments are created by the same
// interpreter as the host's (_venv_interpreter, set before every run).
std::string namespace_setup() {
    return std::string(
               "import ast, os, subprocess, sys, tempfile, venv\n"
               "from io import StringIO\n"
               "__name__ = 'veltaai.codetool'\n"
               "media_path = None\n"
               "def install_dependencies(dependencies):\n"
               "    failed = []\n"
               "    for name in dependencies:\n"
               "        if python_executable is None:\n"
               "            raise TypeError(") +
           quoted_text(texts::executable_not_set) +
           ")\n"
           "        if subprocess.run([python_executable, '-m', 'pip', 'install', name]).returncode != 0:\n"
           "            failed.append(name)\n"
           "    if failed:\n"
           "        raise RuntimeError(" +
           quoted_text(texts::pip_failed) +
           " + ', '.join(failed))\n"
           "def safe_install_modules(module_names):\n"
           "    try:\n"
           "        install_dependencies(module_names)\n"
           "        print(" +
           quoted_text(texts::installation_successful) +
           ")\n"
           "    except Exception as error:\n"
           "        print(" +
           quoted_text(texts::installation_failed) +
           " + str(error))\n"
           "def install_defaults():\n"
           "    safe_install_modules(" +
           text_list(default_packages) +
           ")\n"
           "def ensure_virtual_environment():\n"
           "    global python_executable\n"
           "    if env_path is None:\n"
           "        raise TypeError(" +
           quoted_text(texts::env_path_not_set) +
           ")\n"
           "    existed = os.path.exists(os.path.join(env_path, 'bin', 'python'))\n"
           "    if not existed:\n"
           "        subprocess.run([_venv_interpreter, '-m', 'venv', env_path], check=True)\n"
           "    python_executable = os.path.join(env_path, 'bin', 'python')\n"
           "    if not existed:\n"
           "        install_defaults()\n"
           "def initialize_environment(env_path_param):\n"
           "    global env_path\n"
           "    env_path = env_path_param\n"
           "    ensure_virtual_environment()\n"
           "def execute_code(code):\n"
           "    tree = ast.parse(code)\n"
           "    previous = sys.stdout\n"
           "    sys.stdout = StringIO()\n"
           "    try:\n"
           "        exec(compile(tree, '<ast>', 'exec'), globals())\n"
           "        return sys.stdout.getvalue()\n"
           "    finally:\n"
           "        sys.stdout = previous\n";
}

void print_line(const std::string& line) {
    std::fflush(stdout);
    status_line(line);
}

Value optional_value(const std::optional<std::string>& text) {
    return text ? Value(*text) : Value(nullptr);
}

std::optional<std::string> optional_text(const Value& value) {
    if (value.is_null()) return std::nullopt;
    if (value.is_string()) return value.get<std::string>();
    return value.dump();
}

std::string last_line(const std::string& text) {
    std::size_t end = text.find_last_not_of("\r\n \t");
    if (end == std::string::npos) return {};
    const std::size_t start = text.find_last_of('\n', end);
    return text.substr(start == std::string::npos ? 0 : start + 1,
                       end - (start == std::string::npos ? 0 : start + 1) + 1);
}

void create_environment(const std::string& path) {
    // The standard creator with pip (Debian's venv installs it from its own wheels, offline).
    const auto result = process::run_capturing_errors({python::default_interpreter(), "-m", "venv", path});
    if (!result.status.exited || result.status.code != 0) {
        std::string reason = last_line(result.error_output);
        if (reason.empty()) reason = "the creator ended with " + result.status.describe();
        throw VirtualEnvironmentError(texts::creation_failed + quoted_text(path) + ": " + reason);
    }
    if (!result.error_output.empty()) std::cerr << result.error_output << std::flush;
}

}  // namespace

void initialize_environment(const std::string& env_path_param) {
    env_path = env_path_param;
    ensure_virtual_environment();
}

void ensure_virtual_environment() {
    if (!env_path) throw TypeError(texts::env_path_not_set);
    // An environment is a directory with its interpreter; anything less (an empty directory, a
    // half-made one) is made into one.
    const std::string interpreter = (std::filesystem::path(*env_path) / "bin" / "python").string();
    std::error_code error;
    const bool existed = std::filesystem::exists(interpreter, error);
    if (!existed) create_environment(*env_path);
    python_executable = interpreter;
    if (!existed) install_defaults();
}

void install_defaults() {
    safe_install_modules(default_packages);
}

void safe_install_modules(const std::vector<std::string>& module_names) {
    try {
        install_dependencies(module_names);
        print_line(texts::installation_successful);
    } catch (const std::exception& error) {
        print_line(texts::installation_failed + std::string(error.what()));
    }
}

void install_dependencies(const std::vector<std::string>& dependencies) {
    std::vector<std::string> failed;
    for (const auto& name : dependencies) {
        if (!python_executable) throw TypeError(texts::executable_not_set);
        const process::ExitStatus status = process::run({*python_executable, "-m", "pip", "install", name});
        if (!status.exited || status.code != 0) failed.push_back(name);
    }
    if (!failed.empty()) {
        std::string names;
        for (const auto& name : failed) names += (names.empty() ? "" : ", ") + name;
        throw InstallError(texts::pip_failed + names);
    }
}

namespace {

struct CodeKernel {
    std::mutex mutex;
    python::KernelOptions options = [] {
        python::KernelOptions defaults = python::default_analysis_kernel_options();
        defaults.fork_per_run = false;  // the namespace lives in the interpreter
        defaults.startup_code.clear();
        defaults.interpreter = python::default_interpreter();
        return defaults;
    }();
    std::set<std::string> refused;  // interpreters that could not run the kernel
    python::Kernel kernel{options};
};

CodeKernel& code_kernel() {
    static CodeKernel state;
    return state;
}

bool is_executable_file(const std::string& path) {
    std::error_code error;
    return std::filesystem::is_regular_file(path, error) && ::access(path.c_str(), X_OK) == 0;
}

// The options for the next run: the environment's interpreter when it can run the kernel.
python::KernelOptions wanted_options(CodeKernel& state) {
    python::KernelOptions wanted = state.options;
    if (python_executable && is_executable_file(*python_executable) &&
        !state.refused.contains(*python_executable)) {
        wanted.interpreter = *python_executable;
    }
    if (env_path) wanted.readable_directories.push_back(*env_path);
    return wanted;
}

bool same_sandbox(const python::KernelOptions& a, const python::KernelOptions& b) {
    return a.interpreter == b.interpreter && a.readable_directories == b.readable_directories;
}

}  // namespace

void configure_kernel(python::KernelOptions options) {
    CodeKernel& state = code_kernel();
    std::lock_guard lock(state.mutex);
    state.options = std::move(options);
    state.options.fork_per_run = false;
    if (state.options.interpreter.empty()) state.options.interpreter = python::default_interpreter();
    state.kernel.set_options(state.options);
}

python::KernelOptions kernel_options() {
    CodeKernel& state = code_kernel();
    std::lock_guard lock(state.mutex);
    return state.options;
}

std::string execute_code(const std::string& code) {
    python::RunRequest request;
    request.code = code;
    request.namespace_name = namespace_name;
    request.setup = namespace_setup();
    request.names = {{"env_path", optional_value(env_path)},
                     {"python_executable", optional_value(python_executable)},
                     {"_venv_interpreter", python::default_interpreter()}};
    request.exports = {"env_path", "python_executable"};
    CodeKernel& state = code_kernel();
    std::unique_lock lock(state.mutex);
    python::RunOutcome outcome;
    for (;;) {
        const python::KernelOptions wanted = wanted_options(state);
        if (!same_sandbox(wanted, state.kernel.options())) state.kernel.set_options(wanted);
        try {
            outcome = state.kernel.execute(request);
            break;
        } catch (const python::KernelStartError& error) {
            if (wanted.interpreter == state.options.interpreter) throw;
            log::warning("execute_code: the environment's interpreter " + wanted.interpreter +
                         " cannot run the kernel, using " + state.options.interpreter + ": " + error.what());
            state.refused.insert(wanted.interpreter);
        }
    }
    lock.unlock();
    // The code may have assigned the shared names; the host's state follows it.
    if (outcome.exports.contains("env_path")) env_path = optional_text(outcome.exports["env_path"]);
    if (outcome.exports.contains("python_executable")) {
        python_executable = optional_text(outcome.exports["python_executable"]);
    }
    return outcome.output_or_throw();
}

}  // namespace veltaai::codetool
