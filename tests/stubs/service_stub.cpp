#include "stubs/service_stub.h"

#include <stdexcept>

namespace veltaai::stubs {
namespace {

const char* const endpoints[] = {"openais", "azure-openais", "user_questions"};

void check_endpoint(const std::string& endpoint) {
    for (const char* known : endpoints) {
        if (endpoint == known) return;
    }
    throw std::invalid_argument("unknown service endpoint '" + endpoint + "'");
}

}  // namespace

ServiceStub::ServiceStub(Value config, int port, std::string host) : server_(port, std::move(host)) {
    answers_["openais"] = StubResponse::json(200, Value::array());
    answers_["azure-openais"] = StubResponse::json(200, Value::array());
    answers_["user_questions"] = StubResponse::json(201, {{"status", "recorded"}});
    configure(config);

    server_.route("GET", "/velta/openais/", [this](const RecordedRequest&) { return answer("openais"); });
    server_.route("GET", "/velta/azure-openais/",
                  [this](const RecordedRequest&) { return answer("azure-openais"); });
    server_.route("POST", "/velta/user_questions/",
                  [this](const RecordedRequest&) { return answer("user_questions"); });
    server_.route(
        "GET", "/_stub/requests",
        [this](const RecordedRequest&) { return StubResponse::json(200, to_json(server_.requests())); },
        false);
    server_.route(
        "GET", "/_stub/usage_reports",
        [this](const RecordedRequest&) {
            Value reports = Value::array();
            for (Value& report : usage_reports()) reports.push_back(std::move(report));
            return StubResponse::json(200, reports);
        },
        false);
    server_.start();
}

void ServiceStub::configure(const Value& config) {
    if (!config.is_object()) throw std::invalid_argument("a service stub configuration must be a record");
    for (const auto& [endpoint, answer] : config.items()) {
        check_endpoint(endpoint);
        const int status = answer.value("status", endpoint == "user_questions" ? 201 : 200);
        if (answer.contains("stall_ms"))
            set_stall(endpoint, std::chrono::milliseconds(answer["stall_ms"].get<long>()));
        if (answer.contains("raw")) {
            set_raw_answer(endpoint, status, answer["raw"].get<std::string>());
        } else if (answer.contains("body") || answer.contains("status") || !answer.contains("stall_ms")) {
            set_answer(endpoint, status, answer.value("body", Value()));
        }
    }
}

void ServiceStub::set_answer(const std::string& endpoint, int status, Value body) {
    check_endpoint(endpoint);
    std::lock_guard lock(mutex_);
    answers_[endpoint] = StubResponse::json(status, body);
}

void ServiceStub::set_raw_answer(const std::string& endpoint, int status, std::string raw_body) {
    check_endpoint(endpoint);
    std::lock_guard lock(mutex_);
    answers_[endpoint] = StubResponse{status, std::move(raw_body), "text/plain", {}};
}

void ServiceStub::set_stall(const std::string& endpoint, std::chrono::milliseconds stall) {
    check_endpoint(endpoint);
    std::lock_guard lock(mutex_);
    stalls_[endpoint] = stall;
}

StubResponse ServiceStub::answer(const std::string& endpoint) {
    std::chrono::milliseconds stall{0};
    StubResponse response;
    {
        std::lock_guard lock(mutex_);
        response = answers_.at(endpoint);
        if (const auto it = stalls_.find(endpoint); it != stalls_.end()) stall = it->second;
    }
    if (stall.count() > 0 && !server_.pause(stall))
        return StubResponse::json(503, {{"detail", "stub stopping"}});
    return response;
}

std::vector<Value> ServiceStub::usage_reports() const {
    std::vector<Value> out;
    for (const RecordedRequest& request : server_.requests()) {
        if (request.method == "POST" && request.path == "/velta/user_questions/") out.push_back(request.body);
    }
    return out;
}

}  // namespace veltaai::stubs
