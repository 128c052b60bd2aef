#pragma once
// A stub of the product's own service on loopback, for its three endpoints:
//   GET  /velta/openais/         the OpenAI configuration records
//   GET  /velta/azure-openais/   the Azure configuration records
//   POST /velta/user_questions/  usage reports (recorded)
// Each endpoint answers a configurable status and body. Configuration as JSON:
//   {"openais": {"status": 200, "body": [...]}, "azure-openais": {...},
//    "user_questions": {"status": 201, "body": {...}}}
// where "raw" in place of "body" sends a text as it stands (a body that is not JSON), and
// "stall_ms" makes the endpoint wait that long before answering (cut short when the stub stops).
// GET /_stub/requests lists the recorded requests, GET /_stub/usage_reports the reports.

#include "stubs/stub_server.h"

#include <mutex>

namespace veltaai::stubs {

class ServiceStub {
public:
    explicit ServiceStub(Value config = Value::object(), int port = 0, std::string host = "127.0.0.1");

    // endpoint is "openais", "azure-openais" or "user_questions".
    void set_answer(const std::string& endpoint, int status, Value body);
    void set_raw_answer(const std::string& endpoint, int status, std::string raw_body);
    // The endpoint waits this long before each answer; zero answers at once.
    void set_stall(const std::string& endpoint, std::chrono::milliseconds stall);
    void configure(const Value& config);

    // Bodies of every POST to /velta/user_questions/, oldest first.
    std::vector<Value> usage_reports() const;

    int port() const { return server_.port(); }
    std::string url() const { return server_.url(); }
    std::vector<RecordedRequest> requests() const { return server_.requests(); }
    std::size_t request_count() const { return server_.request_count(); }
    void clear_requests() { server_.clear_requests(); }
    void stop() { server_.stop(); }

private:
    StubResponse answer(const std::string& endpoint);

    mutable std::mutex mutex_;
    std::map<std::string, StubResponse> answers_;
    std::map<std::string, std::chrono::milliseconds> stalls_;
    StubServer server_;
};

}  // namespace veltaai::stubs
