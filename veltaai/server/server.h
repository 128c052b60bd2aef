#pragma once
// The HTTP front of one query graph: `veltaai serve`.
//
//   POST /v1/questions {"question": "..."}   the answer document (JSON); with
//                                            "Accept: text/event-stream", Server-Sent Events:
//                                            started/finished/failed per node, "retry" when a
//                                            model call waits to try again, then "answer"
//   GET  /v1/images/<run>/<file>             a plot the run saved in its media directory
//   GET  /healthz                            {"status": "ok", "in_flight": n}
//   GET  /                                   the web page
//
// What is shared between threads. One QueryGraph serves every question at once: it holds
// nothing that changes after construction, its database handle keeps a pool of connections,
// its chat models share a pool of HTTP handles. Per question the server makes the state that
// must not be shared: a usage scope (the token and cost totals; carried to the run's worker
// threads by the RunContext), a cancellation token (the client left, or the deadline passed)
// and a media directory under the media root. The Python kernel is one per process and runs
// one analysis at a time: questions overlap in their model calls and SQL, and queue for the
// few milliseconds their analysis code runs. Instances keep nothing between questions, so any
// number of them can run behind a load balancer; give them one media root (a shared volume)
// so that a plot is found whichever instance is asked for it.

#include "veltaai/querygraph/querygraph.h"

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>

namespace veltaai::server {

struct ServerOptions {
    std::string host = "127.0.0.1";
    int port = 8080;  // 0: any free port (see Server::port)
    // Each question gets <media_root>/<run id>; created when missing.
    std::filesystem::path media_root = "veltaai-media";
    // Required as "Authorization: Bearer <token>" on /v1/ when non-empty; a server bound to
    // anything but loopback refuses to start without one.
    std::string token;
    std::size_t max_body_bytes = 64 * 1024;
    std::size_t max_question_chars = 4000;
    // Questions being answered at once; one more is answered 429 with Retry-After.
    int max_in_flight = 64;
    std::chrono::milliseconds deadline = std::chrono::seconds(120);
};

// Whether host names a loopback address (127.0.0.0/8, ::1, localhost).
bool is_loopback(const std::string& host);

class Server {
public:
    // Binds the port; the graph must outlive the server. Invalid options (a public address
    // without a token, a port that cannot be bound) are a ValueError.
    Server(std::shared_ptr<const querygraph::QueryGraph> graph, ServerOptions options);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    int port() const;
    // Serves until stop() is called (from another thread or a signal handler's thread).
    void run();
    void stop();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace veltaai::server
