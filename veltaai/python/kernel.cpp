#include "veltaai/python/kernel.h"

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

namespace veltaai::python {
namespace {

constexpr const char* driver_source =
#include "veltaai/python/driver.py.inc"
    ;

// The fixed texts of the kernel's failures.
namespace texts {
constexpr const char* cannot_start = "the Python kernel could not start: ";
constexpr const char* interpreter_ended = "the interpreter ended with ";
constexpr const char* died = "the Python kernel died during the run (";
constexpr const char* time_limit = "Python code ran past its time limit of ";
constexpr const char* bad_answer = "the Python kernel sent an unreadable answer: ";
constexpr const char* exit_request = "Python code asked its interpreter to exit (SystemExit: ";
}  // namespace texts

std::string seconds_text(std::chrono::milliseconds limit) {
    const auto ms = limit.count();
    if (ms % 1000 == 0) return std::to_string(ms / 1000) + " s";
    return shortest_decimal(static_cast<double>(ms) / 1000.0) + " s";
}

void write_all(int fd, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw std::system_error(errno, std::generic_category());
        }
        done += static_cast<std::size_t>(n);
    }
}

enum class ReadResult { done, closed, timed_out };

// Reads exactly size bytes before the deadline.
ReadResult read_exact(int fd, char* out, std::size_t size, std::chrono::steady_clock::time_point deadline) {
    std::size_t done = 0;
    while (done < size) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return ReadResult::timed_out;
        pollfd entry{fd, POLLIN, 0};
        const int ready = ::poll(&entry, 1, static_cast<int>(std::min<long long>(left.count() + 1, 1 << 30)));
        if (ready < 0 && errno == EINTR) continue;
        if (ready == 0) continue;
        const ssize_t n = ::read(fd, out + done, size - done);
        if (n == 0) return ReadResult::closed;
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            return ReadResult::closed;
        }
        done += static_cast<std::size_t>(n);
    }
    return ReadResult::done;
}

std::vector<int> read_pids(const std::string& file) {
    std::vector<int> pids;
    std::ifstream in(file);
    for (int pid; in >> pid;) pids.push_back(pid);
    return pids;
}

std::optional<std::size_t> env_size(const char* name) {
    const char* text = std::getenv(name);
    if (!text || !*text) return std::nullopt;
    try {
        return static_cast<std::size_t>(std::stoull(text));
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

}  // namespace

// A pids cgroup of the kernel's own: caps how many processes and threads the code can make,
// and lists every one of them, however they detached, so they can all be killed.
struct Kernel::Cgroup {
    std::string dir;

    static std::unique_ptr<Cgroup> create(std::size_t limit) {
        static std::atomic<unsigned> counter{0};
        const std::string name =
            "veltaai-kernel-" + std::to_string(::getpid()) + "-" + std::to_string(counter.fetch_add(1));
        for (const std::string& base : candidate_parents()) {
            remove_stale(base);
            const std::string dir = base + "/" + name;
            if (::mkdir(dir.c_str(), 0755) != 0) continue;
            std::ofstream max(dir + "/pids.max");
            if (max && (max << limit).flush()) return std::unique_ptr<Cgroup>(new Cgroup{dir});
            ::rmdir(dir.c_str());
        }
        return nullptr;
    }

    // The process's own place in the pids hierarchy: cgroup v1's pids controller, or v2's
    // unified tree when the pids controller is delegated there.
    static std::vector<std::string> candidate_parents() {
        std::vector<std::string> parents;
        std::ifstream in("/proc/self/cgroup");
        std::string line;
        while (std::getline(in, line)) {
            const auto first = line.find(':');
            const auto second = line.find(':', first + 1);
            if (first == std::string::npos || second == std::string::npos) continue;
            const std::string controllers = line.substr(first + 1, second - first - 1);
            std::string path = line.substr(second + 1);
            if (path == "/") path.clear();
            std::stringstream list(controllers);
            for (std::string controller; std::getline(list, controller, ',');) {
                if (controller == "pids") parents.push_back("/sys/fs/cgroup/pids" + path);
            }
            if (controllers.empty() && ::access("/sys/fs/cgroup/cgroup.controllers", F_OK) == 0) {
                parents.push_back("/sys/fs/cgroup" + path);
            }
        }
        return parents;
    }

    // Groups left behind by hosts that died without cleaning up (once per parent).
    static void remove_stale(const std::string& base) {
        static std::mutex mutex;
        static std::set<std::string> done;
        std::lock_guard lock(mutex);
        if (!done.insert(base).second) return;
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(base, error)) {
            const std::string name = entry.path().filename().string();
            const std::string prefix = "veltaai-kernel-";
            if (name.rfind(prefix, 0) != 0) continue;
            const int owner = std::atoi(name.c_str() + prefix.size());
            if (owner > 0 && ::kill(owner, 0) != 0 && errno == ESRCH) ::rmdir(entry.path().c_str());
        }
    }

    std::string procs() const { return dir + "/cgroup.procs"; }

    // Kills every member but keep (0 for none) until no other is left; a fork bomb keeps
    // forking while it is being killed, so this goes round until the group is quiet.
    void kill_all(int keep) const {
        for (int round = 0; round < 500; ++round) {
            bool any = false;
            for (const int pid : read_pids(procs())) {
                if (pid == keep) continue;
                any = true;
                ::kill(pid, SIGKILL);
            }
            if (!any) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }

    ~Cgroup() {
        kill_all(0);
        // The kernel releases the group once its last member is reaped.
        for (int attempt = 0; attempt < 200 && ::rmdir(dir.c_str()) != 0 && errno == EBUSY; ++attempt) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
};

std::string RunOutcome::output_or_throw() const {
    switch (status) {
    case Status::ok: return output;
    case Status::error: throw PythonError(kind, message, traceback);
    case Status::exit: throw PythonExit(texts::exit_request + message + ")");
    }
    return output;
}

std::string default_interpreter() {
    const char* configured = std::getenv("VELTAAI_PYTHON");
    return configured && *configured ? configured : "/usr/bin/python3";
}

Kernel::Kernel(KernelOptions options) : options_(std::move(options)) {
    if (options_.interpreter.empty()) options_.interpreter = default_interpreter();
    if (options_.process_limit > 0) cgroup_ = Cgroup::create(options_.process_limit);
}

Kernel::~Kernel() {
    std::lock_guard lock(mutex_);
    stop_locked();
}

std::optional<int> Kernel::pid() const {
    std::lock_guard lock(mutex_);
    if (!child_.running()) return std::nullopt;
    return child_.pid();
}

bool Kernel::process_limit_enforced() const {
    std::lock_guard lock(mutex_);
    return cgroup_ != nullptr;
}

void Kernel::restart() {
    std::lock_guard lock(mutex_);
    stop_locked();
}

void Kernel::set_options(KernelOptions options) {
    std::lock_guard lock(mutex_);
    stop_locked();
    cgroup_.reset();
    options_ = std::move(options);
    if (options_.interpreter.empty()) options_.interpreter = default_interpreter();
    if (options_.process_limit > 0) cgroup_ = Cgroup::create(options_.process_limit);
}

void Kernel::stop_locked() {
    if (socket_ >= 0) ::close(socket_);
    socket_ = -1;
    awaiting_ready_ = false;
    if (cgroup_) cgroup_->kill_all(0);
    if (child_.running()) child_.kill();
}

void Kernel::start() {
    std::lock_guard lock(mutex_);
    if (child_.running() && socket_ >= 0) return;
    spawn_locked();
}

void Kernel::ensure_started() {
    if (!child_.running() || socket_ < 0) spawn_locked();
    if (awaiting_ready_) await_ready_locked();
}

void Kernel::spawn_locked() {
    stop_locked();

    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
        throw KernelError(texts::cannot_start + std::string(std::strerror(errno)));
    }
    process::SpawnOptions spawn;
    spawn.argv = {options_.interpreter, "-c", driver_source, "3"};
    spawn.environment = options_.environment;
    if (!options_.startup_code.empty()) spawn.environment["VELTAAI_KERNEL_STARTUP"] = options_.startup_code;
    spawn.descriptors = {{3, ends[1]}};
    spawn.stdin_null = true;
    spawn.new_process_group = true;
    spawn.new_network = options_.isolate_network;
    spawn.address_space_limit = options_.memory_limit;
    if (cgroup_) spawn.cgroup_procs = cgroup_->procs();
    try {
        child_ = process::spawn(spawn);
    } catch (const Error& error) {
        ::close(ends[0]);
        ::close(ends[1]);
        throw KernelError(texts::cannot_start + std::string(error.what()));
    }
    ::close(ends[1]);
    socket_ = ends[0];
    awaiting_ready_ = true;
}

// Reads the interpreter's greeting, sent once its start-up code has run.
void Kernel::await_ready_locked() {
    awaiting_ready_ = false;
    Value ready;
    try {
        ready = exchange(nullptr);
    } catch (const KernelCrash& crash) {
        stop_locked();
        throw KernelError(texts::cannot_start + std::string(texts::interpreter_ended) + crash.status().describe());
    } catch (const KernelError& error) {
        stop_locked();
        throw KernelError(texts::cannot_start + std::string(error.what()));
    }
    if (ready.value("status", "") != "ready") {
        stop_locked();
        throw KernelError(texts::cannot_start + ready.value("kind", std::string("error")) + ": " +
                          ready.value("message", std::string()));
    }
}

[[noreturn]] void Kernel::fail_dead(const std::string& what) {
    if (socket_ >= 0) ::close(socket_);
    socket_ = -1;
    if (cgroup_) cgroup_->kill_all(child_.running() ? child_.pid() : 0);
    process::ExitStatus status;
    if (child_.running()) {
        // The socket closes a moment before the process is gone; give it that moment.
        for (int attempt = 0; attempt < 200; ++attempt) {
            if (auto ended = child_.poll()) {
                status = *ended;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        if (child_.running()) status = child_.kill();
    }
    if (cgroup_) cgroup_->kill_all(0);
    throw KernelCrash(what + status.describe() + ")", status);
}

// Sends one request (none for the start-up greeting) and reads its answer within the time limit.
Value Kernel::exchange(const Value& request) {
    if (!request.is_null()) {
        const std::string body = request.dump(-1, ' ', false, Value::error_handler_t::replace);
        std::string frame(4, '\0');
        const auto size = static_cast<std::uint32_t>(body.size());
        for (int i = 0; i < 4; ++i) frame[i] = static_cast<char>((size >> (24 - 8 * i)) & 0xff);
        frame += body;
        try {
            write_all(socket_, frame);
        } catch (const std::system_error&) {
            fail_dead(texts::died);
        }
    }
    const auto limit = request.is_null() ? options_.time_limit + std::chrono::seconds(10) : options_.time_limit;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    char header[4];
    ReadResult got = read_exact(socket_, header, 4, deadline);
    std::string body;
    if (got == ReadResult::done) {
        std::uint32_t size = 0;
        for (const char byte : header) size = (size << 8) | static_cast<unsigned char>(byte);
        body.resize(size);
        got = read_exact(socket_, body.data(), size, deadline);
    }
    if (got == ReadResult::closed) fail_dead(texts::died);
    if (got == ReadResult::timed_out) {
        stop_locked();
        throw KernelTimeout(texts::time_limit + seconds_text(options_.time_limit));
    }
    try {
        return Value::parse(body);
    } catch (const std::exception& error) {
        stop_locked();
        throw KernelError(texts::bad_answer + std::string(error.what()));
    }
}

void Kernel::kill_strays() {
    if (cgroup_ && child_.running()) cgroup_->kill_all(child_.pid());
}

RunOutcome Kernel::execute(const RunRequest& request) {
    std::lock_guard lock(mutex_);
    ensure_started();
    Value message = {{"op", "run"}, {"code", request.code}};
    message["namespace"] = request.namespace_name ? Value(*request.namespace_name) : Value(nullptr);
    message["setup"] = request.setup;
    message["names"] = request.names.is_object() ? request.names : Value::object();
    message["exports"] = request.exports;
    const Value answer = exchange(message);
    kill_strays();

    RunOutcome outcome;
    const std::string status = answer.value("status", "");
    if (status == "ok") {
        outcome.output = answer.value("output", "");
    } else if (status == "exit") {
        outcome.status = RunOutcome::Status::exit;
        outcome.exit_code = answer.value("code", Value(nullptr));
        outcome.message = outcome.exit_code.is_string() ? outcome.exit_code.get<std::string>()
                          : outcome.exit_code.is_null() ? "None"
                                                        : outcome.exit_code.dump();
    } else {
        outcome.status = RunOutcome::Status::error;
        outcome.kind = answer.value("kind", "Exception");
        outcome.message = answer.value("message", "");
        outcome.traceback = answer.value("traceback", "");
    }
    if (answer.contains("exports") && answer["exports"].is_object()) outcome.exports = answer["exports"];
    return outcome;
}

std::string Kernel::run(const std::string& code) {
    RunRequest request;
    request.code = code;
    return execute(request).output_or_throw();
}

std::string Kernel::render_jinja2(const std::string& source, const Value& variables) {
    std::lock_guard lock(mutex_);
    ensure_started();
    const Value answer = exchange({{"op", "render"},
                                   {"template", source},
                                   {"variables", variables.is_object() ? variables : Value::object()}});
    if (answer.value("status", "") != "ok") {
        throw PythonError(answer.value("kind", "Exception"), answer.value("message", ""),
                          answer.value("traceback", ""));
    }
    return answer.value("output", "");
}

void Kernel::drop_namespace(const std::string& name) {
    std::lock_guard lock(mutex_);
    if (!child_.running()) return;
    ensure_started();
    exchange({{"op", "drop"}, {"namespace", name}});
}

KernelOptions default_analysis_kernel_options() {
    KernelOptions options;
    // Analysis code draws into files only, never onto a screen.
    options.environment["MPLBACKEND"] = "agg";
    // Nearly every piece of analysis code uses these; importing them as the interpreter starts
    // takes half a second off the first run. Missing packages are the code's problem, not ours.
    options.startup_code =
        "for name in ('pandas', 'matplotlib.pyplot'):\n"
        "    try:\n"
        "        __import__(name)\n"
        "    except Exception:\n"
        "        pass\n";
    if (const auto seconds = env_size("VELTAAI_KERNEL_TIME_LIMIT")) {
        options.time_limit = std::chrono::seconds(*seconds);
    }
    if (const auto bytes = env_size("VELTAAI_KERNEL_MEMORY_LIMIT")) options.memory_limit = *bytes;
    const char* isolate = std::getenv("VELTAAI_KERNEL_ISOLATE_NETWORK");
    options.isolate_network = isolate && std::string(isolate) == "1";
    return options;
}

Kernel& analysis_kernel() {
    static Kernel kernel(default_analysis_kernel_options());
    return kernel;
}

void configure_analysis_kernel(KernelOptions options) {
    if (options.environment.find("MPLBACKEND") == options.environment.end()) {
        options.environment["MPLBACKEND"] = "agg";
    }
    analysis_kernel().set_options(std::move(options));
}

Kernel& template_kernel() {
    static Kernel kernel([] {
        KernelOptions options;
        options.startup_code = "import jinja2";
        return options;
    }());
    return kernel;
}

std::string render_jinja2(const std::string& source, const Value& variables) {
    return template_kernel().render_jinja2(source, variables);
}

}  // namespace veltaai::python
