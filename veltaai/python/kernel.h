#pragma once
// A Python kernel: a long-lived, sandboxed child interpreter that runs pieces of code for the
// host (see sandbox.h for what the code can see). Each run's writes to sys.stdout are captured
// (bounded) and returned; what reaches descriptors 1 and 2 never lands on the host's streams,
// it goes to the debug log. Runs have a time limit, each process a memory limit (RLIMIT_AS) and
// the kernel a process-count limit (a pids cgroup where one can be made, RLIMIT_NPROC
// otherwise). A forking kernel runs every piece of code in a child forked from a warm parent
// that never runs code itself, so nothing of one run reaches the next; a keeping kernel runs
// it in the interpreter, in namespaces that persist. Whatever the code does (exit, crash,
// endless loop, fork bomb, signals) the host goes on. Calls on one kernel are serialized;
// separate kernels run side by side.

#include "veltaai/core/descriptor.h"
#include "veltaai/core/errors.h"
#include "veltaai/core/process.h"
#include "veltaai/core/value.h"
#include "veltaai/python/sandbox.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace veltaai::python {

// A run went past the kernel's time limit; the interpreter was killed.
class KernelTimeout : public KernelError {
public:
    using KernelError::KernelError;
};

// The interpreter could not be started, or its start-up code failed.
class KernelStartError : public KernelError {
public:
    using KernelError::KernelError;
};

// The interpreter died during a run (signal, or an exit that bypassed Python's own SystemExit).
class KernelCrash : public KernelError {
public:
    KernelCrash(const std::string& message, process::ExitStatus status)
        : KernelError(message), status_(status) {}
    const process::ExitStatus& status() const noexcept { return status_; }

private:
    process::ExitStatus status_;
};

struct KernelOptions {
    // The interpreter; empty means $VELTAAI_PYTHON, else /usr/bin/python3.
    std::string interpreter;
    std::chrono::milliseconds time_limit{60'000};
    // Address-space limit of each process of the kernel in bytes (so of each forked run); 0 for
    // none.
    std::size_t memory_limit = std::size_t{4} << 30;
    // Processes and threads the kernel and everything it starts may have at once. Enforced
    // through a pids cgroup when one can be created (see process_limit_enforced()), else
    // through RLIMIT_NPROC on top of what the user runs already.
    std::size_t process_limit = 256;
    // The sandbox keeps the network off (an empty network namespace) unless this is set.
    bool allow_network = false;
    // Every run in a child forked from a warm parent (no named namespaces then).
    bool fork_per_run = false;
    // Captured standard output kept per run, in bytes; more is cut and ends with a marker.
    std::size_t output_limit = std::size_t{1} << 20;
    // What a run writes to descriptors 1 and 2 kept for the debug log, in bytes.
    std::size_t error_limit = std::size_t{64} << 10;
    // Directories the code may write besides each run's working directory.
    std::vector<std::string> writable_directories;
    // Directories the code may read (and not write) besides the system's.
    std::vector<std::string> readable_directories;
    // Working directory of runs that name none; empty for the sandbox's private /tmp.
    std::string working_directory;
    // Environment variables set for the interpreter on top of the sandbox's allow-list; the
    // host's own variables never pass.
    std::map<std::string, std::string> environment;
    // Python run once in every new interpreter before its first request (imports, settings).
    std::string startup_code;
};

// One piece of code to run and the namespace to run it in.
struct RunRequest {
    std::string code;
    // A named namespace persists across runs (until the interpreter restarts); none means a
    // fresh namespace for this run only.
    std::optional<std::string> namespace_name;
    // Python run in the namespace when it is created, before the code (imports, helpers).
    std::string setup;
    // Names assigned in the namespace before every run; values travel as JSON.
    Value names = Value::object();
    // Names read back from the namespace after the run, whether it succeeded or not.
    std::vector<std::string> exports;
    // The run's working directory (created when missing, writable for the code); empty for the
    // kernel's own.
    std::string working_directory;
};

// What a run ended with. Errors of the code are results here; only failures of the kernel
// itself (start, time limit, crash) are thrown by Kernel::execute.
struct RunOutcome {
    enum class Status { ok, error, exit };
    Status status = Status::ok;
    std::string output;     // captured standard output (ok only)
    std::string kind;       // error kind name without module, e.g. "ZeroDivisionError"
    std::string message;    // error message, or the SystemExit code as text
    std::string traceback;  // formatted traceback naming "<ast>" for the code's frames
    Value exit_code;        // SystemExit's code (null, integer or text)
    Value exports = Value::object();

    // The output, or the matching exception: PythonError, PythonExit.
    std::string output_or_throw() const;
};

class Kernel {
public:
    explicit Kernel(KernelOptions options = {});
    Kernel(const Kernel&) = delete;
    Kernel& operator=(const Kernel&) = delete;
    ~Kernel();

    // Starts the interpreter without waiting for it, so its start-up code (imports) runs while
    // the host goes on; the next call waits for it to be ready and reports a failed start. Does
    // nothing when an interpreter runs.
    void start();

    // Runs a request. Throws KernelTimeout, KernelCrash or KernelError (no interpreter, or an
    // answer that did not come from the kernel).
    RunOutcome execute(const RunRequest& request);
    // Runs code in a fresh namespace and returns its output; errors of the code are thrown as
    // PythonError or PythonExit.
    std::string run(const std::string& code);
    // Renders a Jinja2 template (default Environment) with variables given as a record.
    // Compiled templates are cached in the interpreter.
    std::string render_jinja2(const std::string& source, const Value& variables);
    // Forgets a named namespace.
    void drop_namespace(const std::string& name);
    // Ends the interpreter and everything it started; the next call starts a new one.
    void restart();
    // Replaces the options; the interpreter restarts with them on its next use.
    void set_options(KernelOptions options);

    // The host's child of a running kernel: the interpreter at the fallback level, bubblewrap
    // (whose child is the interpreter) at the bubblewrap level.
    std::optional<int> pid() const;
    const KernelOptions& options() const noexcept { return options_; }
    // Whether the process-count limit is enforced by a cgroup here. Either way, whatever a run
    // started is killed when it ends.
    bool process_limit_enforced() const;

private:
    struct Cgroup;
    Value exchange(Value request, std::chrono::milliseconds limit);
    void ensure_started();
    void spawn_locked();
    void await_ready_locked();
    void stop_locked();
    void drain_errors(bool wait_for_end = false);
    std::string take_errors();
    std::string bind_directory(const std::string& directory);
    [[noreturn]] void fail_dead(const std::string& what);

    KernelOptions options_;
    mutable std::mutex mutex_;
    process::Child child_;
    Descriptor socket_;
    Descriptor errors_;       // the interpreter's descriptors 1 and 2
    std::string error_text_;  // what came through errors_, bounded
    std::uint64_t expected_id_ = 0;
    bool awaiting_ready_ = false;  // started, greeting not read yet
    std::unique_ptr<Cgroup> cgroup_;
    std::vector<std::string> bound_;  // writable directories of the running sandbox
    std::string private_home_;        // HOME at the fallback level
};

// The default interpreter: $VELTAAI_PYTHON, else /usr/bin/python3.
std::string default_interpreter();

// The process-wide kernel that runs analysis code (matplotlib's backend set to "agg"). Started
// on first use. Its options come from configure_analysis_kernel, else from the environment:
// VELTAAI_KERNEL_TIME_LIMIT (seconds), VELTAAI_KERNEL_MEMORY_LIMIT (bytes),
// VELTAAI_KERNEL_OUTPUT_LIMIT (bytes), VELTAAI_KERNEL_NETWORK ("1" lets it reach the network).
// It forks every run from a warm parent that has imported pandas, numpy and matplotlib.
Kernel& analysis_kernel();
// Replaces the analysis kernel's options (restarting it on next use, which loses its
// namespaces).
void configure_analysis_kernel(KernelOptions options);
// The options the analysis kernel starts with when nothing was configured.
KernelOptions default_analysis_kernel_options();

// The process-wide kernel that renders Jinja2 templates. It never runs model-written code.
Kernel& template_kernel();
std::string render_jinja2(const std::string& source, const Value& variables);

}  // namespace veltaai::python
