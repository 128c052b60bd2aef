#include "veltaai/core/process.h"

#include <fcntl.h>
#include <linux/close_range.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>

extern char** environ;

namespace veltaai::process {
namespace {

// What the child reports back when it fails before its program runs.
struct ChildFailure {
    int stage;
    int errno_value;
};
constexpr std::size_t max_descriptors = 16;
enum Stage {
    stage_descriptors = 1,
    stage_group,
    stage_network,
    stage_limits,
    stage_cgroup,
    stage_exec,
    stage_directory
};

std::string errno_text(int errno_value) {
    return "[Errno " + std::to_string(errno_value) + "] " + std::strerror(errno_value);
}

bool is_executable(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// The program path: argv[0] itself when it names a path, else the first match on PATH.
std::string resolve_program(const std::string& name) {
    if (name.find('/') != std::string::npos) return name;
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= dirs.size()) {
        const std::size_t end = std::min(dirs.find(':', start), dirs.size());
        std::string dir = dirs.substr(start, end - start);
        if (dir.empty()) dir = ".";
        const std::string candidate = dir + "/" + name;
        if (is_executable(candidate)) return candidate;
        start = end + 1;
    }
    throw SpawnError(errno_text(ENOENT) + ": '" + name + "'", ENOENT);
}

std::vector<std::string> merged_environment(const std::map<std::string, std::string>& overrides, bool clear) {
    std::vector<std::string> result;
    for (char** entry = clear ? nullptr : environ; entry && *entry; ++entry) {
        const std::string text = *entry;
        const std::string key = text.substr(0, text.find('='));
        if (!overrides.contains(key)) result.push_back(text);
    }
    for (const auto& [key, value] : overrides) result.push_back(key + "=" + value);
    return result;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
    std::vector<char*> result;
    result.reserve(texts.size() + 1);
    for (auto& text : texts) result.push_back(text.data());
    result.push_back(nullptr);
    return result;
}

// Only async-signal-safe calls from here on: the parent may have other threads.
[[noreturn]] void fail_in_child(int report_fd, int stage) {
    const ChildFailure failure{stage, errno};
    [[maybe_unused]] const ssize_t n = ::write(report_fd, &failure, sizeof failure);
    ::_exit(127);
}

bool write_own_pid(const char* path) {
    const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char digits[24];
    int length = 0;
    for (pid_t pid = ::getpid(); pid > 0; pid /= 10) digits[length++] = static_cast<char>('0' + pid % 10);
    char text[24];
    for (int i = 0; i < length; ++i) text[i] = digits[length - 1 - i];
    const bool ok = ::write(fd, text, static_cast<std::size_t>(length)) == length;
    ::close(fd);
    return ok;
}

void set_cloexec_from(int first) {
    if (::syscall(SYS_close_range, first, ~0U, CLOSE_RANGE_CLOEXEC) == 0) return;
    const long max_fd = ::sysconf(_SC_OPEN_MAX);
    for (int fd = first; fd < max_fd; ++fd) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
}

[[noreturn]] void run_child(const SpawnOptions& options, const char* program, char* const* argv,
                            char* const* envp, int null_fd, int report_fd) {
    // Move the handed-over descriptors out of the way first, so that one's target cannot
    // clobber another's source.
    // No allocation here: the copies live in a fixed array (spawn checks the count).
    int copies[max_descriptors];
    const std::size_t count = options.descriptors.size();
    for (std::size_t i = 0; i < count; ++i) {
        copies[i] = ::fcntl(options.descriptors[i].second, F_DUPFD_CLOEXEC, 64);
        if (copies[i] < 0) fail_in_child(report_fd, stage_descriptors);
    }
    if (options.stdin_null && ::dup2(null_fd, 0) < 0) fail_in_child(report_fd, stage_descriptors);
    set_cloexec_from(3);
    for (std::size_t i = 0; i < count; ++i) {
        if (::dup2(copies[i], options.descriptors[i].first) < 0) fail_in_child(report_fd, stage_descriptors);
    }
    if (options.new_session) {
        if (::setsid() < 0) fail_in_child(report_fd, stage_group);
    } else if (options.new_process_group && ::setpgid(0, 0) != 0) {
        fail_in_child(report_fd, stage_group);
    }
    if (options.parent_death_signal != 0 && ::prctl(PR_SET_PDEATHSIG, options.parent_death_signal) != 0) {
        fail_in_child(report_fd, stage_group);
    }
    if (options.no_new_privileges && ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        fail_in_child(report_fd, stage_group);
    if (!options.working_directory.empty() && ::chdir(options.working_directory.c_str()) != 0) {
        fail_in_child(report_fd, stage_directory);
    }
    if (options.new_network && ::unshare(CLONE_NEWNET) != 0) fail_in_child(report_fd, stage_network);
    if (options.address_space_limit > 0) {
        const rlimit limit{options.address_space_limit, options.address_space_limit};
        if (::setrlimit(RLIMIT_AS, &limit) != 0) fail_in_child(report_fd, stage_limits);
    }
    if (options.process_limit > 0) {
        const rlimit limit{options.process_limit, options.process_limit};
        if (::setrlimit(RLIMIT_NPROC, &limit) != 0) fail_in_child(report_fd, stage_limits);
    }
    if (!options.cgroup_procs.empty() && !write_own_pid(options.cgroup_procs.c_str())) {
        fail_in_child(report_fd, stage_cgroup);
    }
    // Signals the host ignores or blocks must not stay so in the program.
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::signal(SIGPIPE, SIG_DFL);
    ::execve(program, argv, envp);
    fail_in_child(report_fd, stage_exec);
}

std::string stage_message(int stage, int errno_value, const std::string& program) {
    switch (stage) {
        case stage_exec:
            return errno_text(errno_value) + ": '" + program + "'";
        case stage_network:
            return "could not enter a new network namespace: " + errno_text(errno_value);
        case stage_cgroup:
            return "could not enter the process cgroup: " + errno_text(errno_value);
        case stage_limits:
            return "could not set resource limits: " + errno_text(errno_value);
        case stage_directory:
            return "could not enter the working directory: " + errno_text(errno_value);
        default:
            return "could not prepare the child process: " + errno_text(errno_value);
    }
}

ExitStatus decode(int status) {
    ExitStatus result;
    if (WIFEXITED(status)) {
        result.exited = true;
        result.code = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
    }
    return result;
}

}  // namespace

std::string ExitStatus::describe() const {
    if (exited) return "exit status " + std::to_string(code);
    const char* name = ::sigdescr_np(signal);
    return "signal " + std::to_string(signal) + " (" + (name ? name : "unknown signal") + ")";
}

Child::Child(Child&& other) noexcept : pid_(other.pid_), group_leader_(other.group_leader_) {
    other.pid_ = -1;
}

Child& Child::operator=(Child&& other) noexcept {
    if (this != &other) {
        if (running()) kill();
        pid_ = other.pid_;
        group_leader_ = other.group_leader_;
        other.pid_ = -1;
    }
    return *this;
}

Child::~Child() {
    if (running()) kill();
}

ExitStatus Child::wait() {
    if (!running()) throw Error("no child process to wait for");
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0) {
        if (errno != EINTR) {
            pid_ = -1;
            throw Error("waitpid failed: " + errno_text(errno));
        }
    }
    pid_ = -1;
    return decode(status);
}

std::optional<ExitStatus> Child::poll() {
    if (!running()) return std::nullopt;
    int status = 0;
    const pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == 0) return std::nullopt;
    pid_ = -1;
    if (done < 0) return ExitStatus{};
    return decode(status);
}

ExitStatus Child::kill() {
    if (!running()) throw Error("no child process to kill");
    if (group_leader_) ::kill(-pid_, SIGKILL);
    ::kill(pid_, SIGKILL);
    return wait();
}

Child spawn(const SpawnOptions& options) {
    if (options.argv.empty()) throw ValueError("no program to start");
    if (options.descriptors.size() > max_descriptors) throw ValueError("too many descriptors for a child");
    const std::string program = resolve_program(options.argv.front());
    std::vector<std::string> argv_texts = options.argv;
    std::vector<std::string> env_texts = merged_environment(options.environment, options.clear_environment);
    const std::vector<char*> argv = pointers(argv_texts);
    const std::vector<char*> envp = pointers(env_texts);

    int null_fd = -1;
    if (options.stdin_null) {
        null_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (null_fd < 0) throw SpawnError("cannot open /dev/null: " + errno_text(errno), errno);
    }
    Pipe report;
    // Whatever the host buffered must reach its standard output before the child writes there.
    std::cout.flush();
    std::fflush(stdout);
    const pid_t pid = ::fork();
    if (pid < 0) {
        const int saved = errno;
        if (null_fd >= 0) ::close(null_fd);
        throw SpawnError("cannot create a process: " + errno_text(saved), saved);
    }
    if (pid == 0) run_child(options, program.c_str(), argv.data(), envp.data(), null_fd, report.write_end());

    if (null_fd >= 0) ::close(null_fd);
    report.close_write();
    Child child;
    child.pid_ = pid;
    child.group_leader_ = options.new_process_group || options.new_session;
    ChildFailure failure{};
    ssize_t n;
    do {
        n = ::read(report.read_end(), &failure, sizeof failure);
    } while (n < 0 && errno == EINTR);
    if (n == static_cast<ssize_t>(sizeof failure)) {
        child.wait();
        throw SpawnError(stage_message(failure.stage, failure.errno_value, program), failure.errno_value);
    }
    return child;
}

ExitStatus run(const std::vector<std::string>& argv, const std::map<std::string, std::string>& environment) {
    SpawnOptions options;
    options.argv = argv;
    options.environment = environment;
    return spawn(options).wait();
}

RunResult run_capturing_errors(const std::vector<std::string>& argv) {
    Pipe errors;
    SpawnOptions options;
    options.argv = argv;
    options.descriptors = {{2, errors.write_end()}};
    Child child = spawn(options);
    errors.close_write();
    RunResult result;
    result.error_output = read_to_end(errors.read_end());
    result.status = child.wait();
    return result;
}

std::string read_to_end(int fd, std::size_t keep) {
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            const std::size_t room = keep - std::min(keep, text.size());
            text.append(buffer, std::min(room, static_cast<std::size_t>(n)));
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    return text;
}

Pipe::Pipe() {
    int fds[2] = {-1, -1};
    if (::pipe2(fds, O_CLOEXEC) != 0) throw Error("cannot create a pipe: " + errno_text(errno));
    read_.reset(fds[0]);
    write_.reset(fds[1]);
}

}  // namespace veltaai::process
