#include "veltaai/api.h"

#include "veltaai/core/errors.h"
#include "veltaai/core/http.h"
#include "veltaai/core/log.h"
#include "veltaai/core/status.h"
#include "veltaai/core/text.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <sstream>

namespace veltaai::api {
namespace {

// The fixed texts of this module.
namespace text {
constexpr const char* handler_name = "VeltaAPIHandler Instance";
constexpr const char* fetch_failed = "Error in get_openai_data: ";
constexpr const char* azure_data = "azureopenai_data: ";
constexpr const char* report_sent = "Success at:Velta1!.";
constexpr const char* report_refused = "Failed at:Velta0! : ";
constexpr const char* report_failed = "An error occurred during the API request: ";
constexpr const char* empty_list = "list index out of range";
}  // namespace text

constexpr const char* default_base_url = "https://api.velta.ai";
// Exchanges are small; a stuck service must not hold the host for long.
constexpr std::chrono::milliseconds default_time_limit{30000};

// What loading the module does to logging.
const bool logging_configured = [] {
    log::set_level(log::Level::info);
    log::set_level("http", log::Level::warning);
    return true;
}();

// GETs a configuration list; throws on a failed exchange, an error status or a body that is
// not JSON.
Value fetch_list(const std::string& url) {
    http::Client client;
    const http::Response response = client.get(url, {}, service_time_limit());
    if (response.status >= 400) {
        std::ostringstream failure;
        failure << response.status << (response.status < 500 ? " Client Error: " : " Server Error: ")
                << response.reason << " for url: " << url;
        throw HttpError(failure.str(), response.status);
    }
    return response.json();
}

bool is_empty(const Value& value) {
    return value.is_null() || ((value.is_array() || value.is_object() || value.is_string()) && value.empty());
}

const Value& first_of(const Value& list) {
    if (!list.is_array())
        throw TypeError("the service answered a " + kind_name(list) + " where a list was expected");
    if (list.empty()) throw IndexError(text::empty_list);
    return list.front();
}

}  // namespace

std::string service_base_url() {
    return strip_trailing_slashes(environment_variable("VELTA_API_URL").value_or(default_base_url));
}

std::chrono::milliseconds service_time_limit() {
    const std::optional<std::string> written = environment_variable("VELTA_API_TIMEOUT");
    if (!written) return default_time_limit;
    const char* configured = written->c_str();
    char* end = nullptr;
    const double seconds = std::strtod(configured, &end);
    // Not a positive number of seconds (or beyond a day): the default, rather than no limit.
    if (end == configured || *end != '\0' || !(seconds > 0) || seconds > 86400) return default_time_limit;
    return std::max(std::chrono::milliseconds(1),
                    std::chrono::milliseconds(static_cast<long>(seconds * 1000)));
}

VeltaAPIHandler::VeltaAPIHandler(std::string key)
    : velta_api_key(std::move(key)), main_url(service_base_url()) {}

std::optional<Value> VeltaAPIHandler::get_openai_data() const {
    try {
        const Value data = fetch_list(main_url + openais_path);
        if (is_empty(data)) return std::nullopt;
        return first_of(data);
    } catch (const std::exception& error) {
        log::error(std::string(text::fetch_failed) + error.what());
        return std::nullopt;
    }
}

std::optional<Value> VeltaAPIHandler::get_azure_openai_data() const {
    try {
        const Value data = fetch_list(main_url + azure_openais_path);
        Value shown = first_of(data);
        if (shown.is_object() && shown.contains("api_key") && shown["api_key"].is_string()) {
            shown["api_key"] = mask_secret(shown["api_key"].get<std::string>());
        }
        status_line(text::azure_data + python_repr(shown));
        return first_of(data);
    } catch (const std::exception& error) {
        log::error(std::string(text::fetch_failed) + error.what());
        return std::nullopt;
    }
}

std::string VeltaAPIHandler::str() const {
    return text::handler_name;
}

std::ostream& operator<<(std::ostream& out, const VeltaAPIHandler& handler) {
    return out << handler.str();
}

std::optional<Value> send_user_question(const std::string& velta_api_key, const std::string& query,
                                        long tokens, double total_cost) {
    const Value report = {
        {"velta_api_key", velta_api_key}, {"query", query}, {"tokens", tokens}, {"total_cost", total_cost}};
    try {
        http::Response response;
        {
            // One client for this one request, closed when the exchange is over, failed or not.
            http::Client client;
            response =
                client.post_json(service_base_url() + user_questions_path, report, {}, service_time_limit());
        }
        if (response.status != 201) {
            status_line(text::report_refused);
            return std::nullopt;
        }
        Value answer = response.json();
        status_line(text::report_sent);
        return answer;
    } catch (const std::exception& error) {
        status_line(text::report_failed + std::string(error.what()));
        return std::nullopt;
    }
}

std::string mask_secret(std::string_view secret) {
    constexpr std::size_t shown = 4;
    if (secret.size() <= shown) return std::string(secret.size(), '*');
    return std::string(secret.size() - shown, '*') + std::string(secret.substr(secret.size() - shown));
}

}  // namespace veltaai::api
