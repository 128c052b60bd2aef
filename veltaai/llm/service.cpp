#include "veltaai/llm/service.h"

#include "veltaai/core/text.h"

#include <cstdlib>

#include <map>
#include <memory>
#include <mutex>

#include "veltaai/core/log.h"

#include <cctype>
#include <ctime>
#include <iomanip>
#include <random>
#include <sstream>
#include <thread>

namespace veltaai::llm {
namespace {

std::mutex retry_observer_mutex;
std::shared_ptr<const RetryObserver> retry_observer;

constexpr const char* run_retry_key = "llm.retry_observer";

void notify_retry(const RetryEvent& event) {
    std::shared_ptr<const RetryObserver> observer;
    {
        const std::lock_guard lock(retry_observer_mutex);
        observer = retry_observer;
    }
    if (observer && *observer) (*observer)(event);
    const auto run_observer =
        std::static_pointer_cast<const RetryObserver>(RunContext::current().get(run_retry_key));
    if (run_observer && *run_observer) (*run_observer)(event);
}

std::string redact(std::string text, const std::string& secret) {
    if (secret.empty()) return text;
    for (auto at = text.find(secret); at != std::string::npos; at = text.find(secret, at)) {
        text.replace(at, secret.size(), "***");
    }
    return text;
}

// The service's own explanation: {"error": {"message": ...}} as OpenAI and Azure send it, or
// the start of whatever else the body holds.
std::string service_message(const http::Response& answer) {
    try {
        const Value body = Value::parse(answer.body);
        if (body.is_object() && body.contains("error")) {
            const Value& error = body["error"];
            if (error.is_object() && error.contains("message") && error["message"].is_string()) {
                return error["message"].get<std::string>();
            }
            if (error.is_string()) return error.get<std::string>();
        }
        if (body.is_object() && body.contains("message") && body["message"].is_string()) {
            return body["message"].get<std::string>();
        }
    } catch (const nlohmann::json::exception&) {
    }
    constexpr std::size_t limit = 500;
    return answer.body.size() > limit ? answer.body.substr(0, limit) + "..." : answer.body;
}

bool retryable_status(long status) {
    return status == 408 || status == 409 || status == 429 || status >= 500;
}

std::optional<std::chrono::milliseconds> retry_after(const http::Response& answer) {
    using std::chrono::milliseconds;
    try {
        const std::string ms = answer.header("retry-after-ms");
        if (!ms.empty()) return milliseconds(static_cast<long>(std::stod(ms)));
        const std::string after = answer.header("retry-after");
        if (after.empty()) return std::nullopt;
        if (std::isdigit(static_cast<unsigned char>(after.front()))) {
            return milliseconds(static_cast<long>(std::stod(after) * 1000));
        }
        // An HTTP date: "Wed, 21 Oct 2015 07:28:00 GMT".
        std::tm when{};
        std::istringstream in(after);
        in >> std::get_time(&when, "%a, %d %b %Y %H:%M:%S");
        if (in.fail()) return std::nullopt;
        const auto wait =
            std::chrono::system_clock::from_time_t(timegm(&when)) - std::chrono::system_clock::now();
        return std::max(milliseconds(0), std::chrono::duration_cast<milliseconds>(wait));
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

double jitter_factor(double jitter) {
    if (jitter <= 0) return 1.0;
    thread_local std::mt19937 generator{std::random_device{}()};
    std::uniform_real_distribution<double> distribution(1.0 - jitter, 1.0 + jitter);
    return distribution(generator);
}

}  // namespace

AzureDeployment read_azure_fields(const Value& fields, const std::string& client) {
    if (!fields.is_object()) throw TypeError("settings fields must be a record, got a " + kind_name(fields));
    for (const auto& [name, value] : fields.items()) {
        if (!Value(AzureDeployment{}).contains(name)) {
            throw TypeError(client + "() got an unexpected keyword argument '" + name + "'");
        }
    }
    return fields.get<AzureDeployment>();
}

std::string required_setting(const std::optional<std::string>& given, const char* variable,
                             const char* what) {
    if (given) return *given;
    if (auto value = environment_variable(variable)) return *value;
    throw ValueError(std::string("Must provide the ") + what + " or set the " + variable +
                     " environment variable");
}

std::string azure_chat_url(const std::string& endpoint, const std::string& deployment,
                           const std::string& api_version) {
    return strip_trailing_slashes(endpoint) + "/openai/deployments/" + percent_encode(deployment) +
           "/chat/completions?api-version=" + percent_encode(api_version);
}

std::string openai_chat_url(const std::string& base_url) {
    return strip_trailing_slashes(base_url) + "/chat/completions";
}

std::shared_ptr<http::Client> shared_http_client() {
    static const auto client = std::make_shared<http::Client>();
    return client;
}

std::chrono::milliseconds retry_delay(const RetryPolicy& policy, int attempt, const http::Response* answer) {
    if (answer) {
        if (const auto asked = retry_after(*answer)) return *asked;
    }
    double delay = static_cast<double>(policy.initial_delay.count());
    for (int i = 1; i < attempt; ++i) delay *= 2;
    delay = std::min(delay, static_cast<double>(policy.max_delay.count()));
    return std::chrono::milliseconds(static_cast<long>(delay * jitter_factor(policy.jitter)));
}

RetryScope::RetryScope(RetryObserver observer)
    : installed_(
          RunContext::current().with(run_retry_key, std::make_shared<RetryObserver>(std::move(observer)))) {}

void set_retry_observer(RetryObserver observer) {
    auto held = observer ? std::make_shared<const RetryObserver>(std::move(observer)) : nullptr;
    const std::lock_guard lock(retry_observer_mutex);
    retry_observer = std::move(held);
}

Value post_chat_completions(http::Client& client, const Endpoint& endpoint, const Value& body) {
    using std::chrono::milliseconds;
    using clock = std::chrono::steady_clock;
    auto logger = log::get("llm");
    const int attempts = 1 + std::max(0, endpoint.retry.max_retries);
    const bool limited = endpoint.timeout.count() > 0;
    const clock::time_point deadline = clock::now() + endpoint.timeout;
    const auto left = [&] {
        return std::max(milliseconds(0), std::chrono::duration_cast<milliseconds>(deadline - clock::now()));
    };
    http::Request request{"POST", endpoint.url, endpoint.headers, body.dump(), endpoint.timeout};
    request.headers.emplace_back("Content-Type", "application/json");

    for (int attempt = 1;; ++attempt) {
        // Later attempts get only what is left of the call's time limit.
        if (limited) request.timeout = std::max(milliseconds(1), left());
        const std::string tries = attempt == 1 ? "" : " (after " + std::to_string(attempt) + " attempts)";
        std::optional<http::Response> answer;
        std::string no_answer;  // why no answer came
        bool timed_out = false;
        try {
            answer = client.send(request);
        } catch (const http::TimeoutError& error) {
            timed_out = true;
            no_answer = error.what();
        } catch (const HttpError& error) {
            no_answer = error.what();
        }
        if (answer && answer->status >= 200 && answer->status < 300) {
            try {
                return Value::parse(answer->body);
            } catch (const nlohmann::json::parse_error& error) {
                throw ModelServiceError(std::string("chat completions reply is not JSON: ") + error.what());
            }
        }
        const auto give_up = [&](const std::string& note) {
            if (!answer) {
                const std::string what =
                    redact(std::string("chat completions request ") + (timed_out ? "timed out" : "failed") +
                               tries + note + ": " + no_answer,
                           endpoint.secret);
                if (timed_out) throw ServiceTimeoutError(what);
                throw ServiceConnectionError(what);
            }
            const std::string message = redact(service_message(*answer), endpoint.secret);
            std::string what =
                "chat completions request failed with status " + std::to_string(answer->status);
            if (!answer->reason.empty()) what += " (" + answer->reason + ")";
            throw ServiceStatusError(what + tries + note + ": " + message, answer->status, message);
        };
        if (attempt == attempts || (answer && !retryable_status(answer->status))) give_up("");
        if (timed_out && limited) give_up("");  // the attempt had all that was left

        const milliseconds wait = retry_delay(endpoint.retry, attempt, answer ? &*answer : nullptr);
        if (limited) {
            // A retry that cannot finish inside the time limit is not started.
            const milliseconds remaining = left();
            const auto seconds = [](milliseconds d) {
                return shortest_decimal(static_cast<double>(d.count()) / 1000);
            };
            if (wait >= remaining) {
                const bool asked = answer && retry_after(*answer);
                give_up(std::string(" (") +
                        (asked ? "the service asks to wait " : "the next retry would wait ") + seconds(wait) +
                        " s, more than the " + seconds(remaining) + " s left of the call's time limit)");
            }
        }
        logger->info("Retrying chat completions request in {} seconds ({})", wait.count() / 1000.0,
                     answer ? "status " + std::to_string(answer->status) : std::string("no answer"));
        notify_retry({attempt, wait, answer ? answer->status : 0,
                      answer ? std::string() : redact(no_answer, endpoint.secret)});
        std::this_thread::sleep_for(wait);
    }
}

}  // namespace veltaai::llm
