#include "veltaai/server/server.h"

#include "veltaai/core/errors.h"
#include "veltaai/core/log.h"
#include "veltaai/server/connection_watch.h"
#include "veltaai/server/question.h"

#include <httplib.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <queue>

namespace veltaai::server {
namespace fs = std::filesystem;

extern const char* const page_html;  // page.html, compiled in

namespace {

// Compares the whole of both texts, so the time taken says nothing about where they differ.
bool same_secret(const std::string& given, const std::string& expected) {
    unsigned char differ = given.size() == expected.size() ? 0 : 1;
    for (std::size_t i = 0; i < given.size(); ++i) {
        differ |=
            static_cast<unsigned char>(given[i] ^ expected[i % (expected.empty() ? 1 : expected.size())]);
    }
    return differ == 0 && !expected.empty();
}

void send_json(httplib::Response& response, int status, const Value& body) {
    response.status = status;
    response.set_content(body.dump(-1, ' ', false, Value::error_handler_t::replace), "application/json");
}

void send_error(httplib::Response& response, int status, const std::string& message) {
    send_json(response, status, {{"error", {{"message", message}}}});
}

std::string sse_frame(const std::string& event, const Value& data) {
    return "event: " + event + "\ndata: " + data.dump(-1, ' ', false, Value::error_handler_t::replace) +
           "\n\n";
}

const char* image_type(const std::string& name) {
    const auto dot = name.rfind('.');
    if (dot == std::string::npos) return nullptr;
    const std::string ext = name.substr(dot + 1);
    if (ext == "png") return "image/png";
    if (ext == "jpg" || ext == "jpeg") return "image/jpeg";
    if (ext == "gif") return "image/gif";
    if (ext == "webp") return "image/webp";
    return nullptr;  // nothing a browser would run (no SVG, no HTML)
}

bool plain_name(const std::string& name) {
    if (name.empty() || name.size() > 200 || name[0] == '.') return false;
    for (const char c : name) {
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_' || c == '-')) return false;
    }
    return true;
}

// The file's bytes when media_root/run/name is a regular file reached without a symbolic
// link at either level; nothing otherwise.
std::optional<std::string> read_plot(const fs::path& media_root, const std::string& run,
                                     const std::string& name) {
    const int dir = ::open((media_root / run).c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dir < 0) return std::nullopt;
    const int fd = ::openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    ::close(dir);
    if (fd < 0) return std::nullopt;
    struct stat st {};
    std::optional<std::string> bytes;
    constexpr off_t max_plot = 32 << 20;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= max_plot) {
        std::string data(static_cast<std::size_t>(st.st_size), '\0');
        std::size_t done = 0;
        while (done < data.size()) {
            const ssize_t n = ::read(fd, data.data() + done, data.size() - done);
            if (n <= 0) break;
            done += static_cast<std::size_t>(n);
        }
        data.resize(done);
        bytes = std::move(data);
    }
    ::close(fd);
    return bytes;
}

}  // namespace

bool is_loopback(const std::string& host) {
    if (host == "localhost" || host == "::1") return true;
    in_addr address{};
    return ::inet_pton(AF_INET, host.c_str(), &address) == 1 && (ntohl(address.s_addr) >> 24) == 127;
}

struct Server::Impl {
    std::shared_ptr<const querygraph::QueryGraph> graph;
    ServerOptions options;
    httplib::Server http;
    ConnectionWatch watch;
    std::atomic<int> in_flight{0};
    int port = -1;

    // Holds a place among the questions in flight; empty when all are taken.
    class Slot {
    public:
        explicit Slot(std::atomic<int>& count, int cap) : count_(&count) {
            if (count.fetch_add(1) >= cap) {
                count.fetch_sub(1);
                count_ = nullptr;
            }
        }
        Slot(Slot&& other) noexcept : count_(std::exchange(other.count_, nullptr)) {}
        Slot& operator=(Slot&&) = delete;
        ~Slot() { release(); }
        void release() {
            if (count_) std::exchange(count_, nullptr)->fetch_sub(1);
        }
        explicit operator bool() const { return count_ != nullptr; }

    private:
        std::atomic<int>* count_;
    };

    bool authorised(const httplib::Request& request, httplib::Response& response) const {
        if (options.token.empty()) return true;
        const std::string header = request.get_header_value("Authorization");
        const std::string prefix = "Bearer ";
        if (header.rfind(prefix, 0) == 0 && same_secret(header.substr(prefix.size()), options.token))
            return true;
        response.set_header("WWW-Authenticate", "Bearer");
        send_error(response, 401, "a bearer token is required");
        return false;
    }

    void ask(const httplib::Request& request, httplib::Response& response) {
        if (!authorised(request, response)) return;
        Value body;
        try {
            body = Value::parse(request.body);
        } catch (const std::exception&) {
            return send_error(response, 400, "the body must be JSON: {\"question\": \"...\"}");
        }
        if (!body.is_object() || !body.contains("question") || !body["question"].is_string()) {
            return send_error(response, 400,
                              "the body must hold the question as a text: {\"question\": \"...\"}");
        }
        std::string question = body["question"].get<std::string>();
        if (question.find_first_not_of(" \t\r\n") == std::string::npos) {
            return send_error(response, 400, "the question is empty");
        }
        if (question.size() > options.max_question_chars) {
            return send_error(
                response, 413,
                "the question is longer than " + std::to_string(options.max_question_chars) + " bytes");
        }
        Slot slot(in_flight, options.max_in_flight);
        if (!slot) {
            response.set_header("Retry-After", "1");
            return send_error(response, 429, "too many questions in flight; try again shortly");
        }

        auto cancellation = std::make_shared<Cancellation>();
        const auto deadline = std::chrono::steady_clock::now() + options.deadline;
        const std::string run_id = new_run_id();
        const bool streaming =
            request.get_header_value("Accept").find("text/event-stream") != std::string::npos;
        // A client that hangs up cancels its question: its model calls and analysis stop.
        auto watching = std::make_shared<ConnectionWatch::Entry>(
            watch.add(request.remote_addr, request.remote_port, request.local_port, cancellation));

        if (!streaming) {
            const QuestionResult result = answer_question(*graph, question, options.media_root, run_id,
                                                          cancellation, deadline, nullptr);
            return send_json(response, result.status, result.document);
        }

        response.set_header("Cache-Control", "no-store");
        response.set_header("X-Accel-Buffering", "no");  // proxies pass events on at once
        auto shared_slot = std::make_shared<Slot>(std::move(slot));
        response.set_chunked_content_provider(
            "text/event-stream", [this, question = std::move(question), run_id, cancellation, deadline,
                                  shared_slot, watching](std::size_t, httplib::DataSink& sink) {
                std::mutex write_mutex;
                const auto write = [&](const std::string& frame) {
                    const std::lock_guard lock(write_mutex);
                    if (cancellation->cancelled()) return;
                    if (!sink.write(frame.data(), frame.size())) cancellation->cancel();
                };
                write(sse_frame("accepted", {{"id", run_id}}));
                const QuestionResult result = answer_question(
                    *graph, question, options.media_root, run_id, cancellation, deadline,
                    [&](const Value& event) { write(sse_frame(event["event"].get<std::string>(), event)); });
                Value final = result.document;
                final["status"] = result.status;
                write(sse_frame("answer", final));
                // The response object outlives the stream; the place is free once the answer is out.
                shared_slot->release();
                sink.done();
                return true;
            });
    }

    void image(const httplib::Request& request, httplib::Response& response) {
        if (!authorised(request, response)) return;
        const std::string run = request.matches[1];
        const std::string name = request.matches[2];
        const char* type = image_type(name);
        if (!is_run_id(run) || !plain_name(name) || !type) return send_error(response, 404, "no such image");
        const std::optional<std::string> bytes = read_plot(options.media_root, run, name);
        if (!bytes) return send_error(response, 404, "no such image");
        response.set_header("X-Content-Type-Options", "nosniff");
        response.set_header("Cache-Control", "private, max-age=3600");
        response.set_content(*bytes, type);
    }
};

Server::Server(std::shared_ptr<const querygraph::QueryGraph> graph, ServerOptions options)
    : impl_(std::make_unique<Impl>()) {
    if (!graph) throw ValueError("the server needs a query graph");
    if (options.token.empty() && !is_loopback(options.host)) {
        throw ValueError("serving on " + options.host +
                         " needs a bearer token: set VELTAAI_SERVER_TOKEN, or bind to 127.0.0.1");
    }
    if (options.max_in_flight < 1) throw ValueError("max_in_flight must be at least 1");
    fs::create_directories(options.media_root);
    options.media_root = fs::canonical(options.media_root);
    impl_->graph = std::move(graph);
    impl_->options = std::move(options);
    Impl& impl = *impl_;

    // Every question holds a thread while it runs; a few more answer health checks and 429s.
    const std::size_t threads = static_cast<std::size_t>(impl.options.max_in_flight) + 8;
    impl.http.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
    impl.http.set_tcp_nodelay(true);
    impl.http.set_payload_max_length(impl.options.max_body_bytes);
    impl.http.set_read_timeout(30);
    impl.http.set_write_timeout(30);
    impl.http.set_keep_alive_max_count(1000);

    impl.http.Post("/v1/questions",
                   [&impl](const httplib::Request& rq, httplib::Response& rs) { impl.ask(rq, rs); });
    impl.http.Get(R"(/v1/images/([^/]+)/([^/]+))",
                  [&impl](const httplib::Request& rq, httplib::Response& rs) { impl.image(rq, rs); });
    impl.http.Get("/healthz", [&impl](const httplib::Request&, httplib::Response& rs) {
        send_json(rs, 200, {{"status", "ok"}, {"in_flight", impl.in_flight.load()}});
    });
    impl.http.Get("/favicon.ico", [](const httplib::Request&, httplib::Response& rs) { rs.status = 204; });
    impl.http.Get("/", [](const httplib::Request&, httplib::Response& rs) {
        rs.set_header("Content-Security-Policy",
                      "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
                      "img-src 'self' blob:; connect-src 'self'");
        rs.set_content(page_html, "text/html; charset=utf-8");
    });

    impl.port = impl.options.port == 0
                    ? impl.http.bind_to_any_port(impl.options.host)
                    : (impl.http.bind_to_port(impl.options.host, impl.options.port) ? impl.options.port : -1);
    if (impl.port < 0) {
        throw ValueError("cannot listen on " + impl.options.host + ":" + std::to_string(impl.options.port));
    }
    if (!widen_backlog(impl.port, 1024))
        log::get("server")->warn("the listening queue stays at the library's five");
}

Server::~Server() {
    stop();
}

int Server::port() const {
    return impl_->port;
}

void Server::run() {
    impl_->http.listen_after_bind();
}

void Server::stop() {
    impl_->http.stop();
}

}  // namespace veltaai::server
