#pragma once
// Child processes: start a program with a chosen environment, descriptors and limits, wait for
// it, kill it and everything it started. A Child owns its process: destroying a Child that is
// still running kills and reaps it.

#include "veltaai/core/descriptor.h"
#include "veltaai/core/errors.h"

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace veltaai::process {

// A program could not be started. errno_value is the failing call's errno (ENOENT for a missing
// program); the message reads like the operating system's own: "[Errno 2] No such file or
// directory: '/x/bin/python'".
class SpawnError : public Error {
public:
    SpawnError(const std::string& message, int errno_value) : Error(message), errno_value_(errno_value) {}
    int errno_value() const noexcept { return errno_value_; }

private:
    int errno_value_;
};

struct SpawnOptions {
    // Program and arguments; argv[0] is looked up on PATH when it holds no slash.
    std::vector<std::string> argv;
    // Variables set (or replaced) on top of the parent's environment.
    std::map<std::string, std::string> environment;
    // Starts from an empty environment instead of the parent's: only `environment` is set.
    bool clear_environment = false;
    // Descriptors handed to the child: child_fd <- parent_fd. Others are closed in the child
    // (0, 1 and 2 are inherited unless remapped here or stdin_null is set).
    std::vector<std::pair<int, int>> descriptors;
    bool stdin_null = false;
    // The child leads a process group of its own, so that it and what it starts can be killed
    // together.
    bool new_process_group = false;
    // The child leads a new session (and so a process group) with no controlling terminal.
    bool new_session = false;
    // Signal the child gets when the thread that started it ends; 0 for none.
    int parent_death_signal = 0;
    // The child and what it runs can never gain privileges (set-user-id programs, file caps).
    bool no_new_privileges = false;
    // Directory the child starts in; empty keeps the parent's.
    std::string working_directory;
    // A new, empty network namespace (only loopback, down): needs the privilege to unshare.
    bool new_network = false;
    // Address-space limit in bytes (RLIMIT_AS); 0 means none.
    std::size_t address_space_limit = 0;
    // Process-count limit (RLIMIT_NPROC, per user; root is exempt); 0 means none.
    std::size_t process_limit = 0;
    // A cgroup "cgroup.procs" file the child enters before the program starts; empty for none.
    std::string cgroup_procs;
};

// How a child ended.
struct ExitStatus {
    bool exited = false;  // ended by exit(); code holds its status
    int code = 0;
    int signal = 0;  // killed by this signal when !exited

    // "exit status 3" or "signal 11 (Segmentation fault)".
    std::string describe() const;
};

class Child {
public:
    Child() = default;
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    Child(Child&& other) noexcept;
    Child& operator=(Child&& other) noexcept;
    ~Child();

    pid_t pid() const noexcept { return pid_; }
    bool running() const noexcept { return pid_ > 0; }

    // Waits for the child to end and reaps it.
    ExitStatus wait();
    // Reaps the child if it has ended; nothing if it still runs.
    std::optional<ExitStatus> poll();
    // SIGKILL to the child (and its process group when it leads one), then reaps it.
    ExitStatus kill();

private:
    friend Child spawn(const SpawnOptions& options);
    pid_t pid_ = -1;
    bool group_leader_ = false;
};

// Starts a child. Throws SpawnError when the program cannot be executed (the failure is
// reported back from the child before spawn returns) or the process cannot be created.
Child spawn(const SpawnOptions& options);

// Runs argv with the parent's standard descriptors and waits for it to end.
ExitStatus run(const std::vector<std::string>& argv,
               const std::map<std::string, std::string>& environment = {});

// Runs argv and collects what it writes to standard error (standard output is inherited).
struct RunResult {
    ExitStatus status;
    std::string error_output;
};
RunResult run_capturing_errors(const std::vector<std::string>& argv);

// Reads fd until every writer has closed it and returns the first `keep` bytes; the rest is read
// and dropped, so a chatty writer never blocks on a full pipe.
std::string read_to_end(int fd, std::size_t keep = std::string::npos);

// A pipe whose ends close themselves; both ends are close-on-exec.
class Pipe {
public:
    Pipe();
    int read_end() const noexcept { return read_.get(); }
    int write_end() const noexcept { return write_.get(); }
    void close_read() { read_.reset(); }
    void close_write() { write_.reset(); }
    // Hands over the read (write) end; the Pipe no longer closes it.
    int release_read() { return read_.release(); }
    int release_write() { return write_.release(); }

private:
    Descriptor read_;
    Descriptor write_;
};

}  // namespace veltaai::process
