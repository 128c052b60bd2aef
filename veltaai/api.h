#pragma once
// The client of veltaai's own remote service: chat model configurations are fetched from it
// and a usage report (question, tokens, cost) is posted to it after each answered question.
//
// The service's base address is the environment variable VELTA_API_URL when set, else
// https://api.velta.ai; a trailing slash is dropped. Failures are printed or logged as one
// line and give an empty result; nothing here throws for a failed exchange.
//
// Loading this module sets the process-wide log level to INFO and the HTTP client's logger
// ("http") to WARNING, so single requests are not logged.

#include "veltaai/core/value.h"

#include <chrono>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>

namespace veltaai::api {

// The service's base address as described above, read from the environment on each call.
std::string service_base_url();

// The service's paths below its base address: the OpenAI and Azure chat model configurations,
// and the usage reports.
inline constexpr const char* openais_path = "/velta/openais/";
inline constexpr const char* azure_openais_path = "/velta/azure-openais/";
inline constexpr const char* user_questions_path = "/velta/user_questions/";

// How long one exchange with the service (a configuration fetch or a usage report) may take:
// VELTA_API_TIMEOUT in seconds (fractions allowed) when it holds a positive number, else 30 s.
// Read from the environment on each call.
std::chrono::milliseconds service_time_limit();

class VeltaAPIHandler {
public:
    explicit VeltaAPIHandler(std::string velta_api_key);

    // The first OpenAI configuration record ({"model_name", "temperature", "api_key"}), or
    // nothing: for an empty list quietly, for a failed fetch (no connection, error status, a
    // body that is not JSON, no answer within service_time_limit()) after logging
    // "Error in get_openai_data: " and the failure.
    std::optional<Value> get_openai_data() const;
    // The first Azure configuration record, or nothing. Prints "azureopenai_data: " and the
    // record, its api_key masked; an empty list is a failure, logged like the one above.
    std::optional<Value> get_azure_openai_data() const;

    // "VeltaAPIHandler Instance": the key never shows.
    std::string str() const;

    std::string velta_api_key;
    std::string main_url;
};

std::ostream& operator<<(std::ostream& out, const VeltaAPIHandler& handler);

// Posts the usage report of one question. Status 201 with a JSON body prints
// "Success at:Velta1!." and gives the body; any other status prints "Failed at:Velta0! : " and
// gives nothing; a failed exchange (no connection, no answer within service_time_limit(), a
// 201 body that is not JSON) prints "An error occurred during the API request: " and the
// failure, and gives nothing. It never throws for anything the service does: the report comes
// after an answer the host has already paid for.
std::optional<Value> send_user_question(const std::string& velta_api_key, const std::string& query,
                                        long tokens, double total_cost);

// secret with all but its last 4 characters replaced by '*' (all of it when it is that short).
std::string mask_secret(std::string_view secret);

}  // namespace veltaai::api
