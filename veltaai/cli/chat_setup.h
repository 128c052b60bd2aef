#pragma once
// How the command line chooses its chat models and builds the agent: Azure deployments (the
// CHAT_35_* / CHAT_4_* settings or the product service) or any OpenAI-compatible server.

#include "veltaai/core/errors.h"

#include <memory>
#include <optional>
#include <string>

namespace veltaai::querygraph {
class QueryGraph;
}  // namespace veltaai::querygraph

namespace veltaai::cli {

// A configuration the command cannot use; the message names the variables or flags to set.
class ConfigurationError : public Error {
public:
    using Error::Error;
};

struct ModelChoice {
    // "azure" or "openai"; absent: chosen from what is configured.
    std::optional<std::string> provider;
    // The model for every step but writing SQL (azure: the CHAT_35 deployment), and the model
    // that writes SQL (azure: the CHAT_4 deployment). Absent: VELTAAI_MODEL, VELTAAI_SQL_MODEL.
    std::optional<std::string> model;
    std::optional<std::string> sql_model;
    // Azure configurations from the product service instead of the settings.
    bool use_service = false;
};

// "azure" or "openai": the given provider, "azure" for the service, else "azure" when a
// CHAT_35_API_BASE or CHAT_4_API_BASE is set, else "openai" when OPENAI_BASE_URL,
// OPENAI_API_KEY or VELTAAI_MODEL is set or a model is given. Nothing configured, an unknown provider, or the
// service with the openai provider is a ConfigurationError.
std::string chosen_provider(const ModelChoice& choice);

// The agent over database_url with the chosen models. Configuration problems are
// ConfigurationErrors naming what the command reads; other failures (the database, the
// service) reach the caller as they are. Null when the service's configurations are incomplete.
std::shared_ptr<querygraph::QueryGraph> build_agent(const std::string& database_url,
                                                    const ModelChoice& choice);

}  // namespace veltaai::cli
