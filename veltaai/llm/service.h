#pragma once
// One chat completions endpoint and the resilient POST to it that every model and client of
// this folder shares: one time limit for the whole call, retries included; at most a few
// retries with exponential backoff and jitter on 429, 5xx and connection errors (honouring
// Retry-After), each made only when it can start and finish inside the time limit; and errors
// that carry the status and the service's own message but never the API key.

#include "veltaai/core/azure_deployment.h"
#include "veltaai/core/errors.h"
#include "veltaai/core/http.h"
#include "veltaai/core/run_context.h"
#include "veltaai/core/value.h"

#include <chrono>
#include <functional>
#include <optional>
#include <string>

namespace veltaai::llm {

struct RetryPolicy {
    int max_retries = 2;
    std::chrono::milliseconds initial_delay{500};
    std::chrono::milliseconds max_delay{8000};
    double jitter = 0.25;  // each wait is scaled by a random factor in [1 - jitter, 1 + jitter]
};

// The service answered with an error status (after the retries, for retryable ones).
class ServiceStatusError : public ModelServiceError {
public:
    ServiceStatusError(const std::string& what, long status, std::string service_message)
        : ModelServiceError(what), status_(status), service_message_(std::move(service_message)) {}
    long status() const noexcept { return status_; }
    const std::string& service_message() const noexcept { return service_message_; }

private:
    long status_;
    std::string service_message_;
};

// No answer could be had from the service: connection failure or time-out, after the retries.
class ServiceConnectionError : public ModelServiceError {
public:
    using ModelServiceError::ModelServiceError;
};

class ServiceTimeoutError : public ServiceConnectionError {
public:
    using ServiceConnectionError::ServiceConnectionError;
};

struct Endpoint {
    std::string url;        // full address of the chat completions call
    http::Headers headers;  // authentication headers
    std::string secret;     // the API key, cut out of every error text
    // Deadline of one call, every attempt and wait between attempts included; zero: none.
    std::chrono::milliseconds timeout{600000};
    RetryPolicy retry;
};

// A retry about to wait: the attempt that failed (1-based), the wait, and the status that
// failed it (0 when no answer came, with why in reason).
struct RetryEvent {
    int attempt = 0;
    std::chrono::milliseconds wait{0};
    long status = 0;
    std::string reason;
};
using RetryObserver = std::function<void(const RetryEvent&)>;

// The process's observer of retries (none by default; null removes it), called on the thread
// that retries, before its wait. A command line shows these so a slow answer is explained.
void set_retry_observer(RetryObserver observer);

// An observer of the retries of one run: installed in the calling thread's RunContext for the
// scope's lifetime, so it hears the retries of this thread's calls and of the run's workers
// that carry the context, and none of other runs. The process's observer still hears them too.
class RetryScope {
public:
    explicit RetryScope(RetryObserver observer);
    RetryScope(const RetryScope&) = delete;
    RetryScope& operator=(const RetryScope&) = delete;

private:
    RunContext::Scope installed_;
};

// POSTs body to the endpoint and returns the reply parsed as JSON. Each attempt gets what is
// left of the endpoint's time limit; a retry is made only when more time is left than its wait,
// and a Retry-After longer than what is left ends the call at once with the service's answer.
// Throws ServiceStatusError, ServiceConnectionError/ServiceTimeoutError, or ModelServiceError
// for a body that is not JSON.
Value post_chat_completions(http::Client& client, const Endpoint& endpoint, const Value& body);

// Reads a settings record's fields (null fields stay absent). A field of another name is a
// TypeError worded like an unexpected keyword of client ("AzureOpenAI").
AzureDeployment read_azure_fields(const Value& fields, const std::string& client);

// given, or else the environment variable, or else a ValueError naming both.
std::string required_setting(const std::optional<std::string>& given, const char* variable, const char* what);

// {endpoint}/openai/deployments/{deployment}/chat/completions?api-version={version}
std::string azure_chat_url(const std::string& endpoint, const std::string& deployment,
                           const std::string& api_version);
// {base_url}/chat/completions
std::string openai_chat_url(const std::string& base_url);

// The HTTP client shared by every model of the process, so connections are reused.
std::shared_ptr<http::Client> shared_http_client();

// The wait before retry number attempt (1-based): what the answer's Retry-After headers ask
// for, else the policy's backoff.
std::chrono::milliseconds retry_delay(const RetryPolicy& policy, int attempt, const http::Response* answer);

}  // namespace veltaai::llm
