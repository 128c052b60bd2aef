#include "veltaai/cli/chat_setup.h"

#include "veltaai/agent.h"
#include "veltaai/core/text.h"
#include "veltaai/llm/chat_openai.h"

namespace veltaai::cli {
namespace {

constexpr const char* public_openai_url = "https://api.openai.com/v1";
constexpr const char* openai_variables = "OPENAI_BASE_URL, OPENAI_API_KEY, VELTAAI_MODEL, VELTAAI_SQL_MODEL";
constexpr const char* azure_variables =
    "CHAT_35_API_BASE, CHAT_35_API_KEY, CHAT_35_API_VERSION, CHAT_35_DEPLOPMENT_NAME, "
    "CHAT_4_API_BASE, CHAT_4_API_KEY, CHAT_4_API_VERSION, CHAT_4_DEPLOPMENT_NAME";

bool is_set(const char* name) {
    return environment_variable(name).has_value();
}

std::optional<std::string> given_or(const std::optional<std::string>& given, const char* variable) {
    if (given && !given->empty()) return given;
    return environment_variable(variable);
}

std::shared_ptr<llm::ChatModel> openai_model(const std::string& base_url, const std::string& key,
                                             const std::string& model, long max_tokens,
                                             const querygraph::QueryGraphOptions& defaults) {
    llm::ChatOpenAIOptions options;
    options.base_url = base_url;
    options.openai_api_key = key;
    options.model = model;
    options.settings.temperature = defaults.temperature;
    options.settings.max_tokens = max_tokens;
    options.settings.model_kwargs = Value{{"top_p", defaults.top_p}};
    options.settings.timeout = defaults.model_timeout;
    return std::make_shared<llm::ChatOpenAI>(std::move(options));
}

std::shared_ptr<querygraph::QueryGraph> openai_agent(const std::string& database_url,
                                                     const ModelChoice& choice) {
    const std::optional<std::string> model = given_or(choice.model, "VELTAAI_MODEL");
    if (!model) {
        throw ConfigurationError(
            std::string("the openai provider needs a model: pass --model NAME or set VELTAAI_MODEL "
                        "(it reads ") +
            openai_variables + ")");
    }
    const std::string sql_model = given_or(choice.sql_model, "VELTAAI_SQL_MODEL").value_or(*model);
    const std::string base_url = environment_variable("OPENAI_BASE_URL").value_or(public_openai_url);
    const std::optional<std::string> key = environment_variable("OPENAI_API_KEY");
    // A local server may take no key; the public service always does.
    if (!key && strip_trailing_slashes(base_url) == public_openai_url) {
        throw ConfigurationError(
            std::string("OPENAI_API_KEY is not set; it is needed for ") + public_openai_url +
            " (set OPENAI_BASE_URL for another OpenAI-compatible server; the openai provider reads " +
            openai_variables + ")");
    }
    const querygraph::QueryGraphOptions defaults;
    querygraph::GraphModels models;
    models.sql = openai_model(base_url, key.value_or(""), sql_model, defaults.sql_max_tokens, defaults);
    models.general = openai_model(base_url, key.value_or(""), *model, defaults.response_max_tokens, defaults);
    return agent::create_agent(database_url, std::move(models), defaults);
}

std::shared_ptr<querygraph::QueryGraph> azure_agent(const std::string& database_url,
                                                    const ModelChoice& choice) {
    agent::AzureConfigs configs = agent::azure_configs_from_settings();
    // --model and --sql-model name the deployments here; the environment's names stay otherwise.
    if (choice.model && !choice.model->empty()) configs.config_35.azure_deployment = choice.model;
    if (choice.sql_model && !choice.sql_model->empty()) configs.config_4.azure_deployment = choice.sql_model;
    try {
        return agent::create_agent_from_settings(database_url, configs);
    } catch (const ValueError& error) {
        const std::string what = error.what();
        // Only the settings check names the variables; other ValueErrors belong to the database.
        if (what.find("CHAT_") == std::string::npos) throw;
        throw ConfigurationError(what + " (the azure provider reads " + azure_variables + ")");
    }
}

}  // namespace

std::string chosen_provider(const ModelChoice& choice) {
    if (choice.provider) {
        const std::string provider = lower(*choice.provider);
        if (provider != "azure" && provider != "openai") {
            throw ConfigurationError("unknown provider '" + *choice.provider + "': use azure or openai");
        }
        if (choice.use_service && provider == "openai") {
            throw ConfigurationError("--service gives Azure deployments only; drop --provider openai");
        }
        return provider;
    }
    if (choice.use_service) return "azure";
    if (is_set("CHAT_35_API_BASE") || is_set("CHAT_4_API_BASE")) return "azure";
    if (is_set("OPENAI_BASE_URL") || is_set("OPENAI_API_KEY") || is_set("VELTAAI_MODEL")) return "openai";
    if (choice.model && !choice.model->empty()) return "openai";
    throw ConfigurationError(
        std::string("no chat model is configured: for an OpenAI-compatible server set ") + openai_variables +
        " (OPENAI_BASE_URL and VELTAAI_MODEL at least, or pass --model)" + "; for Azure OpenAI set " +
        azure_variables + "; or use --service with VELTA_API_KEY");
}

std::shared_ptr<querygraph::QueryGraph> build_agent(const std::string& database_url,
                                                    const ModelChoice& choice) {
    const std::string provider = chosen_provider(choice);
    if (choice.use_service) return agent::create_agent(database_url);
    if (provider == "openai") return openai_agent(database_url, choice);
    return azure_agent(database_url, choice);
}

}  // namespace veltaai::cli
