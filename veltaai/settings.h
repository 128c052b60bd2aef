#pragma once
// Configuration records of the two Azure OpenAI chat deployments the system talks to: the
// "3.5" deployment for most steps and the "4" deployment for writing SQL. A record built
// without arguments takes its fields from the environment as it was when this library loaded
// (after a .env file was read into it); explicit arguments override field by field:
//
//     AzureOpenAIChat35 defaults;                                 // from the environment
//     AzureOpenAIChat35 positional{"https://example.openai.azure.com", "key"};
//     AzureOpenAIChat4 named{.api_version = "2024-02-01"};       // others keep their defaults

#include "veltaai/core/azure_deployment.h"
#include "veltaai/core/value.h"

#include <optional>
#include <ostream>
#include <string>

namespace veltaai {

namespace settings_detail {

// Field defaults captured once, when the library loads.
using ChatDefaults = AzureDeployment;

// From CHAT_35_API_BASE, CHAT_35_API_KEY, CHAT_35_API_VERSION, CHAT_35_DEPLOPMENT_NAME.
const ChatDefaults& chat_35_defaults();
// From CHAT_4_API_BASE, CHAT_4_API_KEY, CHAT_4_API_VERSION, CHAT_4_DEPLOPMENT_NAME.
const ChatDefaults& chat_4_defaults();

std::string to_text(const char* type_name, const std::optional<std::string>& azure_endpoint,
                    const std::optional<std::string>& api_key, const std::optional<std::string>& api_version,
                    const std::optional<std::string>& azure_deployment);

}  // namespace settings_detail

struct AzureOpenAIChat35 {
    std::optional<std::string> azure_endpoint = settings_detail::chat_35_defaults().azure_endpoint;
    std::optional<std::string> api_key = settings_detail::chat_35_defaults().api_key;
    std::optional<std::string> api_version = settings_detail::chat_35_defaults().api_version;
    std::optional<std::string> azure_deployment = settings_detail::chat_35_defaults().azure_deployment;

    bool operator==(const AzureOpenAIChat35&) const = default;

    AzureDeployment deployment() const { return {azure_endpoint, api_key, api_version, azure_deployment}; }
    // The fields by name, in order; an absent field is null.
    Value to_record() const { return deployment(); }
    // AzureOpenAIChat35(azure_endpoint='...', api_key=<hidden>, api_version=None, ...): the key
    // itself is never shown.
    std::string to_string() const {
        return settings_detail::to_text("AzureOpenAIChat35", azure_endpoint, api_key, api_version,
                                        azure_deployment);
    }
};

struct AzureOpenAIChat4 {
    std::optional<std::string> azure_endpoint = settings_detail::chat_4_defaults().azure_endpoint;
    std::optional<std::string> api_key = settings_detail::chat_4_defaults().api_key;
    std::optional<std::string> api_version = settings_detail::chat_4_defaults().api_version;
    std::optional<std::string> azure_deployment = settings_detail::chat_4_defaults().azure_deployment;

    bool operator==(const AzureOpenAIChat4&) const = default;

    AzureDeployment deployment() const { return {azure_endpoint, api_key, api_version, azure_deployment}; }
    Value to_record() const { return deployment(); }
    std::string to_string() const {
        return settings_detail::to_text("AzureOpenAIChat4", azure_endpoint, api_key, api_version,
                                        azure_deployment);
    }
};

inline std::ostream& operator<<(std::ostream& out, const AzureOpenAIChat35& config) {
    return out << config.to_string();
}
inline std::ostream& operator<<(std::ostream& out, const AzureOpenAIChat4& config) {
    return out << config.to_string();
}

}  // namespace veltaai
