#pragma once
// The HTTP client of veltaai, over libcurl: GET and POST with JSON bodies, request headers,
// per-request time limits, proxies from the environment (http_proxy, https_proxy, no_proxy)
// and TLS verification always on. A Client keeps a small pool of curl handles so that calls
// to the same server reuse their connection; it is safe to share between threads.
//
// Requests are logged at debug level on the "http" logger (method, address, status, time);
// header values are never logged, since they carry API keys.

#include "veltaai/core/errors.h"
#include "veltaai/core/value.h"

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace veltaai::http {

using Headers = std::vector<std::pair<std::string, std::string>>;

struct Request {
    std::string method = "GET";
    std::string url;
    Headers headers;
    std::string body;
    // Time limit of the whole exchange; zero means none.
    std::chrono::milliseconds timeout{0};
};

struct Response {
    long status = 0;
    std::string reason;  // reason phrase of the status line ("Not Found"), may be empty
    Headers headers;     // names in lower case, in the order received
    std::string body;
    std::string url;  // the address finally answered (after redirects)
    std::chrono::microseconds elapsed{0};

    // The value of the first header named name (any case), or "" when absent.
    std::string header(std::string_view name) const;
    // The body parsed as JSON; a body that is not JSON is a ValueError.
    Value json() const;
    bool ok() const { return status >= 200 && status < 400; }
};

// No answer arrived in time. status() is 0.
class TimeoutError : public HttpError {
public:
    using HttpError::HttpError;
};

class Client {
public:
    Client();
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // Sends the request and returns whatever status the server answered. A failure to get an
    // answer (name resolution, connection, TLS, time-out) is an HttpError with status 0.
    Response send(const Request& request);

    Response get(const std::string& url, Headers headers = {},
                 std::chrono::milliseconds timeout = std::chrono::milliseconds{0});
    // POSTs body as JSON with "Content-Type: application/json" (unless headers name one).
    Response post_json(const std::string& url, const Value& body, Headers headers = {},
                       std::chrono::milliseconds timeout = std::chrono::milliseconds{0});

private:
    struct Handle;
    std::unique_ptr<Handle> take_handle();
    void return_handle(std::unique_ptr<Handle> handle);

    std::mutex mutex_;
    std::vector<std::unique_ptr<Handle>> idle_;
};

// The standard reason phrase of an HTTP status ("Not Found"), or "" for unknown ones.
std::string reason_phrase(long status);

}  // namespace veltaai::http
