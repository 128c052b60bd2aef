#pragma once
// A real HTTP server on a loopback port, run on its own thread for the life of the object:
// the common part of the chat completions stub and the product service stub. It records
// every request it answers, so tests can assert on what was sent.

#include "veltaai/core/value.h"

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace veltaai::stubs {

struct RecordedRequest {
    std::string method;
    std::string path;                            // without the query
    std::string query;                           // "api-version=2024-02-01", without '?'
    std::map<std::string, std::string> headers;  // names in lower case
    std::string body_text;
    Value body;  // body_text parsed as JSON, or null when it is not JSON

    std::string header(const std::string& name) const;
};

struct StubResponse {
    int status = 200;
    std::string body;
    std::string content_type = "application/json";
    std::vector<std::pair<std::string, std::string>> headers;

    static StubResponse json(int status, const Value& body) {
        return {status, body.dump(), "application/json", {}};
    }
};

class StubServer {
public:
    using Handler = std::function<StubResponse(const RecordedRequest&)>;

    // Binds host:port at once (port 0: a free port chosen by the system); serving starts with
    // start(). A port that cannot be bound is a std::runtime_error.
    explicit StubServer(int port = 0, std::string host = "127.0.0.1");
    ~StubServer();
    StubServer(const StubServer&) = delete;
    StubServer& operator=(const StubServer&) = delete;

    // Answers method requests whose whole path matches pattern (a regular expression).
    // Register every route before start(). Requests on routes with record=false are not
    // recorded (the stubs' own inspection routes).
    void route(const std::string& method, const std::string& pattern, Handler handler, bool record = true);
    void start();
    // Stops serving; requests waiting in pause() return at once. Called by the destructor.
    void stop();

    int port() const { return port_; }
    const std::string& host() const { return host_; }
    std::string url() const;  // "http://127.0.0.1:<port>"

    std::vector<RecordedRequest> requests() const;
    std::size_t request_count() const;
    void clear_requests();

    // Sleeps for wait unless the server stops first; false when it is stopping.
    bool pause(std::chrono::milliseconds wait);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    std::string host_;
    int port_ = 0;
};

// The recorded requests as JSON records (what the stubs serve on their inspection route).
Value to_json(const std::vector<RecordedRequest>& requests);

}  // namespace veltaai::stubs
