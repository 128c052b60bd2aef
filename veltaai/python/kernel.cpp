#include "veltaai/python/kernel.h"

#include "veltaai/core/cancellation.h"
#include "veltaai/core/log.h"
#include "veltaai/core/text.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <future>
#include <random>
#include <set>
#include <sstream>
#include <thread>

namespace veltaai::python {
namespace {

constexpr const char* driver_source =
#include "python_driver.inc"
    ;

// The fixed texts of the kernel's failures.
namespace texts {
constexpr const char* cannot_start = "the Python kernel could not start: ";
constexpr const char* interpreter_ended = "the interpreter ended with ";
constexpr const char* died = "the Python kernel died during the run (";
constexpr const char* time_limit = "Python code ran past its time limit of ";
constexpr const char* bad_answer = "the Python kernel sent an unreadable answer: ";
constexpr const char* exit_request = "Python code asked its interpreter to exit (SystemExit: ";
constexpr const char* forged = "the run's answer did not come from the kernel's runner; the run fails";
constexpr const char* oversized = "the Python kernel sent an answer larger than its limits";
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

enum class ReadResult { done, closed, timed_out, stopped };

// Reads exactly size bytes before the deadline; whenever more_fd (the interpreter's
// descriptors 1 and 2) has something, on_more drains it, so a chatty run never blocks on it.
template <class Drain>
ReadResult read_exact(int fd, char* out, std::size_t size, std::chrono::steady_clock::time_point deadline,
                      int more_fd, Drain on_more, const Cancellation* token) {
    std::size_t done = 0;
    while (done < size) {
        if (token && token->stopped()) return ReadResult::stopped;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        if (left.count() <= 0) return ReadResult::timed_out;
        // A run that can be stopped wakes up often enough to notice.
        if (token) left = std::min(left, std::chrono::milliseconds(50));
        pollfd entries[2] = {{fd, POLLIN, 0}, {more_fd, POLLIN, 0}};
        const int ready = ::poll(entries, more_fd >= 0 ? 2 : 1,
                                 static_cast<int>(std::min<long long>(left.count() + 1, 1 << 30)));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) continue;
        if (more_fd >= 0 && entries[1].revents != 0) on_more();
        if (entries[0].revents == 0) continue;
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

// Tasks the real user runs now, every thread of every process: what RLIMIT_NPROC counts, so
// that a host's own threads do not take the processes a run is allowed.
std::size_t own_task_count() {
    std::size_t count = 0;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
        struct stat st {};
        const std::string name = entry.path().filename().string();
        if (name.empty() || !std::isdigit(static_cast<unsigned char>(name[0])) ||
            ::stat(entry.path().c_str(), &st) != 0 || st.st_uid != ::getuid()) {
            continue;
        }
        std::size_t threads = 0;
        std::error_code gone;
        for (auto task = std::filesystem::directory_iterator(entry.path() / "task", gone);
             !gone && task != std::filesystem::directory_iterator(); task.increment(gone)) {
            ++threads;
        }
        count += std::max<std::size_t>(threads, 1);
    }
    return count;
}

// Starts children from one thread that lives as long as the process: a parent-death signal
// fires when the thread that forked ends, and kernels outlive the threads that first use them.
process::Child spawn_from_lasting_thread(const process::SpawnOptions& options) {
    struct Spawner {
        std::mutex mutex;
        std::condition_variable wake;
        std::deque<std::packaged_task<process::Child()>> tasks;
        Spawner() {
            std::thread([this] {
                for (;;) {
                    std::unique_lock lock(mutex);
                    wake.wait(lock, [this] { return !tasks.empty(); });
                    auto task = std::move(tasks.front());
                    tasks.pop_front();
                    lock.unlock();
                    task();
                }
            }).detach();
        }
    };
    static Spawner* spawner = new Spawner;  // never destroyed: its thread runs to the end
    std::packaged_task<process::Child()> task([&options] { return process::spawn(options); });
    std::future<process::Child> result = task.get_future();
    {
        std::lock_guard lock(spawner->mutex);
        spawner->tasks.push_back(std::move(task));
    }
    spawner->wake.notify_one();
    return result.get();
}

// A text field of an answer; anything but a text is none.
std::string text_field(const Value& answer, const char* key, const char* otherwise = "") {
    const auto it = answer.find(key);
    return it != answer.end() && it->is_string() ? it->get<std::string>() : std::string(otherwise);
}

std::uint64_t random_id() {
    static std::mutex mutex;
    static std::mt19937_64 generator{std::random_device{}()};
    std::lock_guard lock(mutex);
    std::uint64_t id = 0;
    while (id == 0) id = generator() >> 12;  // stays exact as a JSON number
    return id;
}

std::vector<int> read_pids(const std::string& file) {
    std::vector<int> pids;
    std::ifstream in(file);
    for (int pid; in >> pid;) pids.push_back(pid);
    return pids;
}

std::optional<std::size_t> env_size(const char* name) {
    const std::optional<std::string> text = environment_variable(name);
    if (!text) return std::nullopt;
    try {
        return static_cast<std::size_t>(std::stoull(*text));
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

// The last line of what a failed start wrote (bubblewrap's or Python's complaint).
std::string last_words(const std::string& text) {
    std::size_t end = text.find_last_not_of("\r\n \t");
    if (end == std::string::npos) return {};
    const std::size_t start = text.find_last_of('\n', end);
    return text.substr(start == std::string::npos ? 0 : start + 1,
                       end - (start == std::string::npos ? 0 : start + 1) + 1);
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
        case Status::ok:
            return output;
        case Status::error:
            throw PythonError(kind, message, traceback);
        case Status::exit:
            throw PythonExit(texts::exit_request + message + ")");
    }
    return output;
}

std::string default_interpreter() {
    return environment_variable("VELTAAI_PYTHON").value_or("/usr/bin/python3");
}

Kernel::Kernel(KernelOptions options) : options_(std::move(options)) {
    if (options_.interpreter.empty()) options_.interpreter = default_interpreter();
    if (options_.process_limit > 0) cgroup_ = Cgroup::create(options_.process_limit);
}

Kernel::~Kernel() {
    std::lock_guard lock(mutex_);
    stop_locked();
    if (!private_home_.empty()) {
        std::error_code error;
        std::filesystem::remove_all(private_home_, error);
    }
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
    socket_.reset();
    awaiting_ready_ = false;
    if (cgroup_) cgroup_->kill_all(0);
    if (child_.running()) child_.kill();
    drain_errors(true);
    errors_.reset();
    const std::string left = take_errors();
    if (!left.empty()) log::debug("Python kernel wrote: " + left);
}

// Keeps what the interpreter writes to descriptors 1 and 2, up to error_limit; the pipe is
// emptied every time so that the writer never blocks.
void Kernel::drain_errors(bool wait_for_end) {
    if (!errors_) return;
    char buffer[1 << 16];
    // At its end the pipe is read until its writers are gone, but not for long: a stray of the
    // fallback level may still hold it.
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_for_end ? 250 : 0);
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        pollfd entry{errors_.get(), POLLIN, 0};
        if (::poll(&entry, 1, static_cast<int>(std::max<long long>(0, left.count()))) <= 0) return;
        const ssize_t n = ::read(errors_.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        const std::size_t room =
            options_.error_limit > error_text_.size() ? options_.error_limit - error_text_.size() : 0;
        error_text_.append(buffer, std::min(room, static_cast<std::size_t>(n)));
    }
}

std::string Kernel::take_errors() {
    std::string text;
    text.swap(error_text_);
    return text;
}

void Kernel::start() {
    std::lock_guard lock(mutex_);
    if (child_.running() && socket_) return;
    spawn_locked();
}

void Kernel::ensure_started() {
    if (!child_.running() || !socket_) spawn_locked();
    if (awaiting_ready_) await_ready_locked();
}

void Kernel::spawn_locked() {
    stop_locked();
    if (::access(options_.interpreter.c_str(), X_OK) != 0) {
        throw KernelStartError(texts::cannot_start + std::string("[Errno ") + std::to_string(errno) + "] " +
                               std::strerror(errno) + ": '" + options_.interpreter + "'");
    }
    const SandboxLevel level = sandbox_level();
    if (level == SandboxLevel::fallback && private_home_.empty()) {
        char path[] = "/tmp/veltaai-kernel-home-XXXXXX";
        if (!::mkdtemp(path)) throw KernelStartError(texts::cannot_start + std::string(std::strerror(errno)));
        private_home_ = path;
    }
    // Directories of earlier runs that are gone since are not bound again.
    std::erase_if(bound_, [](const std::string& dir) {
        std::error_code error;
        return !std::filesystem::is_directory(dir, error);
    });
    for (const std::string& dir : options_.writable_directories) bind_directory(dir);
    if (!options_.working_directory.empty()) bind_directory(options_.working_directory);

    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
        throw KernelStartError(texts::cannot_start + std::string(std::strerror(errno)));
    }
    Descriptor ours(ends[0]);
    Descriptor theirs(ends[1]);
    process::Pipe errors;
    SandboxSetup setup;
    setup.interpreter = options_.interpreter;
    setup.arguments = {"-c", driver_source, "3", options_.fork_per_run ? "fork" : "keep"};
    setup.writable = bound_;
    setup.readable = options_.readable_directories;
    setup.network = options_.allow_network;
    setup.environment = options_.environment;
    setup.private_home = private_home_;
    if (!options_.startup_code.empty()) setup.environment["VELTAAI_KERNEL_STARTUP"] = options_.startup_code;
    process::SpawnOptions spawn = sandboxed_spawn(setup, level);
    spawn.descriptors = {{3, theirs.get()}, {1, errors.write_end()}, {2, errors.write_end()}};
    spawn.stdin_null = true;
    spawn.address_space_limit = options_.memory_limit;
    if (cgroup_) {
        spawn.cgroup_procs = cgroup_->procs();
    } else if (options_.process_limit > 0) {
        // Without a cgroup the per-user count is the only bound; it counts what the user runs already.
        spawn.process_limit = own_task_count() + options_.process_limit;
    }
    try {
        child_ = spawn_from_lasting_thread(spawn);
    } catch (const Error& error) {
        throw KernelStartError(texts::cannot_start + std::string(error.what()));
    }
    theirs.reset();
    errors.close_write();
    errors_.reset(errors.release_read());
    ::fcntl(errors_.get(), F_SETFL, O_NONBLOCK);
    socket_ = std::move(ours);
    awaiting_ready_ = true;
    expected_id_ = 0;
}

// Makes directory absolute and existing, and a writable place of the sandbox; answers the
// absolute path. A directory the running sandbox does not show yet restarts it.
std::string Kernel::bind_directory(const std::string& directory) {
    std::error_code error;
    std::filesystem::path path = std::filesystem::absolute(directory, error);
    std::filesystem::create_directories(path, error);
    const std::filesystem::path canonical = std::filesystem::weakly_canonical(path, error);
    const std::string text = (error ? path : canonical).string();
    for (const std::string& bound : bound_) {
        if (text == bound || text.rfind(bound + "/", 0) == 0) return text;
    }
    bound_.push_back(text);
    if (child_.running() && sandbox_level() == SandboxLevel::bubblewrap) stop_locked();
    return text;
}

// Reads the interpreter's greeting, sent once its start-up code has run.
void Kernel::await_ready_locked() {
    awaiting_ready_ = false;
    Value ready;
    try {
        ready = exchange(nullptr, options_.time_limit + std::chrono::seconds(10));
    } catch (const KernelCrash& crash) {
        drain_errors(true);
        const std::string said = last_words(take_errors());
        stop_locked();
        throw KernelStartError(texts::cannot_start + std::string(texts::interpreter_ended) +
                               crash.status().describe() + (said.empty() ? "" : ": " + said));
    } catch (const KernelError& error) {
        stop_locked();
        throw KernelStartError(texts::cannot_start + std::string(error.what()));
    }
    if (ready.value("status", "") != "ready") {
        stop_locked();
        throw KernelStartError(texts::cannot_start + ready.value("kind", std::string("error")) + ": " +
                               ready.value("message", std::string()));
    }
}

[[noreturn]] void Kernel::fail_dead(const std::string& what) {
    socket_.reset();
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
    // bubblewrap passes on a signal that ended the interpreter as 128 + the signal.
    if (status.exited && status.code > 128 && sandbox_level() == SandboxLevel::bubblewrap) {
        status = process::ExitStatus{false, 0, status.code - 128};
    }
    if (cgroup_) cgroup_->kill_all(0);
    throw KernelCrash(what + status.describe() + ")", status);
}

// Sends one request (none for the start-up greeting) and reads its answer within limit. Every
// request carries a fresh random id and only the frame with that id is its answer; frames of
// another id (written by code that found the socket of a keeping kernel) are dropped.
Value Kernel::exchange(Value request, std::chrono::milliseconds limit) {
    drain_errors();
    if (!request.is_null()) {
        // Bytes nobody asked for are forgeries of an earlier run: drop them.
        char junk[4096];
        while (::recv(socket_.get(), junk, sizeof junk, MSG_DONTWAIT) > 0) {
        }
        expected_id_ = random_id();
        request["id"] = expected_id_;
        const std::string body = request.dump(-1, ' ', false, Value::error_handler_t::replace);
        std::string frame(4, '\0');
        const auto size = static_cast<std::uint32_t>(body.size());
        for (int i = 0; i < 4; ++i) frame[i] = static_cast<char>((size >> (24 - 8 * i)) & 0xff);
        frame += body;
        try {
            write_all(socket_.get(), frame);
        } catch (const std::system_error&) {
            fail_dead(texts::died);
        }
    }
    const auto deadline = std::chrono::steady_clock::now() + limit;
    const std::size_t max_frame = 8 * options_.output_limit + (std::size_t{4} << 20);
    for (;;) {
        char header[4];
        const auto drain = [this] { drain_errors(); };
        const std::shared_ptr<const Cancellation> token = Cancellation::current();
        ReadResult got = read_exact(socket_.get(), header, 4, deadline, errors_.get(), drain, token.get());
        std::string body;
        if (got == ReadResult::done) {
            std::uint32_t size = 0;
            for (const char byte : header) size = (size << 8) | static_cast<unsigned char>(byte);
            if (size > max_frame) {
                stop_locked();
                throw KernelError(texts::oversized);
            }
            body.resize(size);
            got = read_exact(socket_.get(), body.data(), size, deadline, errors_.get(), drain, token.get());
        }
        if (got == ReadResult::stopped) {
            // The run in flight cannot be taken back mid-answer: the interpreter goes, and the
            // next run starts a fresh one.
            stop_locked();
            token->check();
        }
        if (got == ReadResult::closed) fail_dead(texts::died);
        if (got == ReadResult::timed_out) {
            stop_locked();
            throw KernelTimeout(texts::time_limit + seconds_text(options_.time_limit));
        }
        Value answer;
        try {
            answer = Value::parse(body);
        } catch (const std::exception& error) {
            stop_locked();
            throw KernelError(texts::bad_answer + std::string(error.what()));
        }
        if (!answer.is_object()) {
            stop_locked();
            throw KernelError(texts::forged);
        }
        const Value id = answer.value("id", Value(nullptr));
        if (id.is_number_unsigned() && id.get<std::uint64_t>() == expected_id_) return answer;
        log::warning("Python kernel: dropped an answer that was not for the request in flight");
    }
}

RunOutcome Kernel::execute(const RunRequest& request) {
    std::lock_guard lock(mutex_);
    Cancellation::check_current();
    Value message = {{"op", "run"}, {"code", request.code}};
    if (!request.working_directory.empty()) {
        message["directory"] = bind_directory(request.working_directory);
    } else if (!options_.working_directory.empty()) {
        message["directory"] = bind_directory(options_.working_directory);
    } else {
        message["directory"] = sandbox_level() == SandboxLevel::bubblewrap ? "/tmp" : private_home_;
    }
    ensure_started();
    if (message["directory"] == "") message["directory"] = private_home_;
    message["namespace"] = request.namespace_name ? Value(*request.namespace_name) : Value(nullptr);
    message["setup"] = request.setup;
    message["names"] = request.names.is_object() ? request.names : Value::object();
    message["exports"] = request.exports;
    message["output_limit"] = options_.output_limit;
    message["error_limit"] = options_.error_limit;
    message["time_limit"] = static_cast<double>(options_.time_limit.count()) / 1000.0;
    // A forking kernel times runs out itself and stays warm; the host's deadline is for the
    // warm parent.
    const auto limit =
        options_.fork_per_run ? options_.time_limit + std::chrono::seconds(5) : options_.time_limit;
    const Value answer = exchange(message, limit);
    drain_errors();
    std::string said = text_field(answer, "stderr");
    said += take_errors();
    if (!said.empty()) log::debug("Python run wrote to its standard streams: " + said);

    RunOutcome outcome;
    const std::string status = text_field(answer, "status");
    if (status == "ok") {
        outcome.output = text_field(answer, "output");
    } else if (status == "exit") {
        outcome.status = RunOutcome::Status::exit;
        outcome.exit_code = answer.value("code", Value(nullptr));
        outcome.message = outcome.exit_code.is_string() ? outcome.exit_code.get<std::string>()
                          : outcome.exit_code.is_null() ? "None"
                                                        : outcome.exit_code.dump();
    } else if (status == "error") {
        outcome.status = RunOutcome::Status::error;
        outcome.kind = text_field(answer, "kind", "Exception");
        outcome.message = text_field(answer, "message");
        outcome.traceback = text_field(answer, "traceback");
    } else if (status == "timeout") {
        throw KernelTimeout(texts::time_limit + seconds_text(options_.time_limit));
    } else if (status == "crash") {
        process::ExitStatus ended;
        const Value exited = answer.value("exited", Value(false)), code = answer.value("code", Value(0)),
                    signal = answer.value("signal", Value(0));
        ended.exited = exited.is_boolean() && exited.get<bool>();
        ended.code = code.is_number_integer() ? code.get<int>() : 0;
        ended.signal = signal.is_number_integer() ? signal.get<int>() : 0;
        throw KernelCrash(texts::died + ended.describe() + ")", ended);
    } else {
        throw KernelError(texts::forged);
    }
    if (answer.contains("exports") && answer["exports"].is_object()) outcome.exports = answer["exports"];
    // A keeping kernel that a run left without descriptors or threads to spare starts afresh.
    if (answer.value("exhausted", Value(false)) == Value(true)) {
        log::warning(
            "Python kernel: a run left it without descriptors or threads to spare; it starts afresh");
        stop_locked();
    }
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
                                   {"variables", variables.is_object() ? variables : Value::object()}},
                                  options_.time_limit);
    if (text_field(answer, "status") != "ok") {
        throw PythonError(text_field(answer, "kind", "Exception"), text_field(answer, "message"),
                          text_field(answer, "traceback"));
    }
    return text_field(answer, "output");
}

void Kernel::drop_namespace(const std::string& name) {
    std::lock_guard lock(mutex_);
    if (!child_.running()) return;
    ensure_started();
    exchange({{"op", "drop"}, {"namespace", name}}, options_.time_limit);
}

KernelOptions default_analysis_kernel_options() {
    KernelOptions options;
    options.fork_per_run = true;
    // Analysis code draws into files only, never onto a screen.
    options.environment["MPLBACKEND"] = "agg";
    // Nearly every piece of analysis code uses these; the warm parent imports them once and
    // every run starts with them loaded. Missing packages are the code's problem, not ours.
    options.startup_code =
        "for name in ('numpy', 'pandas', 'matplotlib.pyplot'):\n"
        "    try:\n"
        "        __import__(name)\n"
        "    except Exception:\n"
        "        pass\n";
    if (const auto seconds = env_size("VELTAAI_KERNEL_TIME_LIMIT")) {
        options.time_limit = std::chrono::seconds(*seconds);
    }
    if (const auto bytes = env_size("VELTAAI_KERNEL_MEMORY_LIMIT")) options.memory_limit = *bytes;
    if (const auto bytes = env_size("VELTAAI_KERNEL_OUTPUT_LIMIT")) options.output_limit = *bytes;
    options.allow_network = environment_variable("VELTAAI_KERNEL_NETWORK") == "1";
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
