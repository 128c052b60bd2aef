// cpp-httplib's default leaves Nagle's algorithm on; keep-alive calls then wait ~40 ms each.
#define CPPHTTPLIB_TCP_NODELAY true
#include <httplib.h>

#include "stubs/stub_server.h"

#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace veltaai::stubs {

struct StubServer::Impl {
    httplib::Server server;
    std::thread thread;
    mutable std::mutex mutex;
    std::condition_variable stopping_cv;
    bool stopping = false;
    bool started = false;
    std::vector<RecordedRequest> requests;
};

namespace {

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

RecordedRequest record_of(const httplib::Request& request) {
    RecordedRequest out;
    out.method = request.method;
    out.path = request.path;
    const auto question = request.target.find('?');
    if (question != std::string::npos) out.query = request.target.substr(question + 1);
    for (const auto& [name, value] : request.headers) out.headers[lower(name)] = value;
    out.body_text = request.body;
    try {
        out.body = request.body.empty() ? Value() : Value::parse(request.body);
    } catch (const nlohmann::json::parse_error&) {
        out.body = nullptr;
    }
    return out;
}

}  // namespace

std::string RecordedRequest::header(const std::string& name) const {
    const auto it = headers.find(lower(name));
    return it == headers.end() ? std::string() : it->second;
}

namespace {

// The library listens with a queue of five; a burst of clients would see SYNs dropped and
// their connects wait a second for the retry. listen() again only changes the queue.
void widen_backlog(int port) {
    DIR* dir = ::opendir("/proc/self/fd");
    if (!dir) return;
    while (const dirent* entry = ::readdir(dir)) {
        const int fd = std::atoi(entry->d_name);
        struct stat st {};
        int listening = 0;
        socklen_t size = sizeof listening;
        sockaddr_storage address{};
        socklen_t address_size = sizeof address;
        if (entry->d_name[0] < '0' || entry->d_name[0] > '9' || fd == ::dirfd(dir) || ::fstat(fd, &st) != 0 ||
            !S_ISSOCK(st.st_mode) || ::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) != 0 ||
            !listening || ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &address_size) != 0) {
            continue;
        }
        const int bound = address.ss_family == AF_INET6
                              ? ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port)
                              : ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
        if (bound == port) ::listen(fd, 1024);
    }
    ::closedir(dir);
}

}  // namespace

StubServer::StubServer(int port, std::string host) : impl_(std::make_unique<Impl>()), host_(std::move(host)) {
    // Set explicitly too: the packaged library is compiled with its own default.
    impl_->server.set_tcp_nodelay(true);
    impl_->server.set_keep_alive_max_count(1000);
    // Idle keep-alive connections hold stop() for this long; back-to-back calls still reuse theirs.
    impl_->server.set_keep_alive_timeout(0);
    // Stalled replies each hold a thread; the library's default of eight would queue the rest
    // and hide a client's concurrency behind the stub's.
    impl_->server.new_task_queue = [] { return new httplib::ThreadPool(160); };
    if (port == 0) {
        port_ = impl_->server.bind_to_any_port(host_);
    } else {
        port_ = impl_->server.bind_to_port(host_, port) ? port : -1;
    }
    if (port_ <= 0) throw std::runtime_error("cannot bind " + host_ + ":" + std::to_string(port));
    widen_backlog(port_);
}

StubServer::~StubServer() {
    stop();
}

void StubServer::route(const std::string& method, const std::string& pattern, Handler handler, bool record) {
    auto wrapped = [this, handler = std::move(handler), record](const httplib::Request& request,
                                                                httplib::Response& response) {
        RecordedRequest recorded = record_of(request);
        if (record) {
            std::lock_guard lock(impl_->mutex);
            impl_->requests.push_back(recorded);
        }
        StubResponse answer;
        try {
            answer = handler(recorded);
        } catch (const std::exception& error) {
            answer = StubResponse::json(
                500, {{"error", {{"message", std::string("stub failure: ") + error.what()}}}});
        }
        response.status = answer.status;
        for (const auto& [name, value] : answer.headers) response.set_header(name, value);
        response.set_content(answer.body, answer.content_type.c_str());
    };
    if (method == "GET") {
        impl_->server.Get(pattern, wrapped);
    } else if (method == "POST") {
        impl_->server.Post(pattern, wrapped);
    } else if (method == "PUT") {
        impl_->server.Put(pattern, wrapped);
    } else if (method == "DELETE") {
        impl_->server.Delete(pattern, wrapped);
    } else {
        throw std::invalid_argument("unsupported method " + method);
    }
}

void StubServer::start() {
    std::lock_guard lock(impl_->mutex);
    if (impl_->started) return;
    impl_->started = true;
    impl_->thread = std::thread([impl = impl_.get()] { impl->server.listen_after_bind(); });
    // A stop() that came before the server runs would be lost and leave it listening forever.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!impl_->server.is_running()) {
        if (std::chrono::steady_clock::now() > deadline)
            throw std::runtime_error("stub server did not start");
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
}

void StubServer::stop() {
    {
        std::lock_guard lock(impl_->mutex);
        if (impl_->stopping) return;
        impl_->stopping = true;
    }
    impl_->stopping_cv.notify_all();
    impl_->server.stop();
    if (impl_->thread.joinable()) impl_->thread.join();
}

std::string StubServer::url() const {
    return "http://" + host_ + ":" + std::to_string(port_);
}

std::vector<RecordedRequest> StubServer::requests() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->requests;
}

std::size_t StubServer::request_count() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->requests.size();
}

void StubServer::clear_requests() {
    std::lock_guard lock(impl_->mutex);
    impl_->requests.clear();
}

bool StubServer::pause(std::chrono::milliseconds wait) {
    std::unique_lock lock(impl_->mutex);
    return !impl_->stopping_cv.wait_for(lock, wait, [this] { return impl_->stopping; });
}

Value to_json(const std::vector<RecordedRequest>& requests) {
    Value out = Value::array();
    for (const auto& request : requests) {
        Value headers = Value::object();
        for (const auto& [name, value] : request.headers) headers[name] = value;
        out.push_back({{"method", request.method},
                       {"path", request.path},
                       {"query", request.query},
                       {"headers", headers},
                       {"body", request.body.is_null() ? Value(request.body_text) : request.body}});
    }
    return out;
}

}  // namespace veltaai::stubs
