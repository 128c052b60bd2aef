#include "veltaai/agent.h"

#include "veltaai/api.h"
#include "veltaai/core/dotenv.h"
#include "veltaai/core/errors.h"
#include "veltaai/core/http.h"
#include "veltaai/core/status.h"
#include "veltaai/core/text.h"
#include "veltaai/llm/usage.h"
#include "veltaai/querygraph/custom_sql.h"

#include <cxxabi.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <optional>
#include <typeinfo>
#include <utility>

namespace veltaai::agent {
namespace {

// The fixed texts of this module.
namespace text {
constexpr const char* llm_ready = "LLM is Ready!";
constexpr const char* no_configuration = "no chat model configuration could be fetched from the service";
constexpr const char* unusable_configuration =
    "the service's chat model configuration cannot be used; it lacks: ";
constexpr const char* agent_ready = "Agent is Ready!";
constexpr const char* server_error = "Internal Server Error!";
constexpr const char* run_failed = "An error occurred when running the agent: ";
constexpr const char* no_agent = "Error: No output generated from the agent.";
constexpr const char* error_output = "An error occurred";
constexpr const char* report_failed = "An error occurred during the API request: ";
constexpr const char* settings_missing =
    "the chat model settings are incomplete; set (in the environment or .env): ";
}  // namespace text

std::string text_field(const Value& record, const char* key) {
    const auto it = record.find(key);
    if (it == record.end() || it->is_null()) return {};
    if (!it->is_string())
        throw TypeError(std::string("\"") + key + "\" must be a text, got a " + kind_name(*it));
    return it->get<std::string>();
}

// The .env file is read when this module loads, as the settings module does; variables
// already set keep their values.
[[maybe_unused]] const bool dotenv_loaded = load_dotenv();

struct Engine {
    const char* name;
    const char* scheme;
};
constexpr std::array<Engine, 3> engines{{
    {"PostgreSQL", "postgresql+psycopg2"},
    {"MsSQL", "mssql+pyodbc"},
    {"MySQL", "mysql+mysqlconnector"},
}};

template <class Config>
Config config_from_record(const Value& record) {
    Config config;
    config.azure_deployment = text_field(record, "deployment_name");
    config.azure_endpoint = text_field(record, "azure_endpoint");
    config.api_key = text_field(record, "api_key");
    config.api_version = text_field(record, "api_version");
    return config;
}

bool has_text(const std::optional<std::string>& field) {
    return field && !field->empty();
}

// The run ended on the terminal failure route: its last SQL execution failed.
bool sql_never_succeeded(const Value& final_state) {
    const auto it = final_state.find("execution_success");
    return it != final_state.end() && !is_truthy(*it);
}

std::optional<std::string> last_database_error(const Value& final_state) {
    const auto it = final_state.find("execution_error");
    if (it == final_state.end() || !it->is_array() || it->empty()) return std::nullopt;
    const Value& newest = it->back();
    return newest.is_string() ? newest.get<std::string>() : newest.dump();
}

std::string type_name(const std::exception& error) {
    int status = 0;
    char* demangled = abi::__cxa_demangle(typeid(error).name(), nullptr, nullptr, &status);
    std::string name = status == 0 && demangled ? demangled : typeid(error).name();
    std::free(demangled);
    return name;
}

// What the model service itself said, when a model call failed on an error answer.
std::string failure_cause(const std::exception& error) {
    if (const auto* status = dynamic_cast<const llm::ServiceStatusError*>(&error)) {
        return "the model service answered " + std::to_string(status->status()) +
               (status->service_message().empty() ? "" : ": " + status->service_message());
    }
    // A missing key says only its name; say what it is.
    if (const auto* missing = dynamic_cast<const KeyError*>(&error)) {
        return "a step of the run needed '" + missing->key() + "', which the run's state did not hold";
    }
    return {};
}

std::optional<double> temperature_field(const Value& record) {
    const auto it = record.find("temperature");
    if (it == record.end()) return 1.0;
    if (it->is_null()) return std::nullopt;  // given as nothing: the service's own default applies
    if (it->is_number()) return it->get<double>();
    if (it->is_string()) {
        const std::string written = it->get<std::string>();
        try {
            std::size_t used = 0;
            const double number = std::stod(written, &used);
            if (used == written.size()) return number;
        } catch (const std::exception&) {
        }
    }
    throw TypeError("\"temperature\" must be a number, got " + it->dump());
}

}  // namespace

std::shared_ptr<llm::ChatOpenAI> create_chat_openai_instance(const std::string& velta_api_key) {
    const api::VeltaAPIHandler handler(velta_api_key);
    const std::optional<Value> data = handler.get_openai_data();
    if (!data) throw ValueError(text::no_configuration);
    if (!data->is_object())
        throw TypeError("the chat model configuration is a " + kind_name(*data) + ", not a record");

    llm::ChatOpenAIOptions options;
    options.model = text_field(*data, "model_name");
    options.openai_api_key = text_field(*data, "api_key");
    options.settings.temperature = temperature_field(*data);
    // A model without its name or key would fail on its first call, far from the cause.
    std::string missing;
    if (options.model.empty()) missing = "model_name";
    if (!has_text(options.openai_api_key)) missing += std::string(missing.empty() ? "" : ", ") + "api_key";
    if (!missing.empty()) {
        status_line(text::server_error);
        throw ValueError(text::unusable_configuration + missing);
    }
    auto model = std::make_shared<llm::ChatOpenAI>(std::move(options));
    status_line(text::llm_ready);
    return model;
}

std::string database_uri(const std::string& engine, const std::string& db_name, const std::string& db_user,
                         const std::string& db_password, const std::string& db_host,
                         const std::string& db_port) {
    const Engine* found = nullptr;
    for (const Engine& known : engines)
        if (engine == known.name) found = &known;
    if (!found) {
        std::string names;
        for (const Engine& known : engines) names += std::string(names.empty() ? "" : ", ") + known.name;
        throw ValueError("unknown database engine " + quoted_text(engine) + " (known: " + names + ")");
    }
    return std::string(found->scheme) + "://" + percent_encode(db_user) + ":" + percent_encode(db_password) +
           "@" + db_host + ":" + db_port + "/" + percent_encode(db_name);
}

bool AzureConfigs::complete() const {
    const auto usable = [](const auto& config) {
        return has_text(config.azure_endpoint) && has_text(config.api_key) &&
               has_text(config.azure_deployment);
    };
    return usable(config_35) && usable(config_4);
}

AzureConfigs azure_configs_from_records(const Value& records) {
    if (!records.is_array())
        throw TypeError("the Azure configurations must be a list of records, got a " + kind_name(records));
    AzureConfigs configs;
    configs.config_35.azure_endpoint = std::nullopt;
    configs.config_4.azure_endpoint = std::nullopt;
    for (const Value& record : records) {
        if (!record.is_object())
            throw TypeError("an Azure configuration must be a record, got a " + kind_name(record));
        const Value& model = require_key(record, "model");
        if (!model.is_string()) continue;  // names no family
        const std::string& family = model.get_ref<const std::string&>();
        if (family == "GPT-3.5") {
            configs.config_35 = config_from_record<AzureOpenAIChat35>(record);
        } else if (family.starts_with("GPT-4")) {
            configs.config_4 = config_from_record<AzureOpenAIChat4>(record);
        }
    }
    return configs;
}

AzureConfigs fetch_azure_configs() {
    http::Client client;
    const http::Response response =
        client.get(api::service_base_url() + api::azure_openais_path, {}, api::service_time_limit());
    return azure_configs_from_records(response.json());
}

AzureConfigs azure_configs_from_settings() {
    return AzureConfigs{};
}

std::optional<AgentParts> prepare_agent(const std::string& database_url) {
    AgentParts parts;
    parts.custom_sql_db = querygraph::CustomSQLDatabase::from_uri(database_url);
    parts.configs = fetch_azure_configs();
    if (!parts.configs.complete()) {
        status_line(text::server_error);
        return std::nullopt;
    }
    status_line(text::agent_ready);
    return parts;
}

std::shared_ptr<querygraph::QueryGraph> create_agent(const std::string& database_url) {
    std::optional<AgentParts> parts = prepare_agent(database_url);
    if (!parts) return nullptr;
    return std::make_shared<querygraph::QueryGraph>(std::move(parts->custom_sql_db),
                                                    std::move(parts->configs.config_35),
                                                    std::move(parts->configs.config_4));
}

std::shared_ptr<querygraph::QueryGraph> create_agent(const std::string& /*velta_api_key*/,
                                                     const std::string& engine, const std::string& db_name,
                                                     const std::string& db_user,
                                                     const std::string& db_password,
                                                     const std::string& db_host, const std::string& db_port,
                                                     const std::optional<std::string>& /*instructions*/) {
    return create_agent(database_uri(engine, db_name, db_user, db_password, db_host, db_port));
}

std::shared_ptr<querygraph::QueryGraph> create_agent(const std::string& velta_api_key,
                                                     const std::string& engine, const std::string& db_name,
                                                     const std::string& db_user,
                                                     const std::string& db_password,
                                                     const std::string& db_host, int db_port,
                                                     const std::optional<std::string>& instructions) {
    return create_agent(velta_api_key, engine, db_name, db_user, db_password, db_host,
                        std::to_string(db_port), instructions);
}

std::shared_ptr<querygraph::QueryGraph> create_agent_from_settings(const std::string& database_url) {
    return create_agent_from_settings(database_url, azure_configs_from_settings());
}

std::shared_ptr<querygraph::QueryGraph> create_agent_from_settings(const std::string& database_url,
                                                                   const AzureConfigs& configs) {
    std::string missing;
    const auto require = [&missing](const std::optional<std::string>& field, const char* variable) {
        if (!has_text(field)) missing += std::string(missing.empty() ? "" : ", ") + variable;
    };
    // Where each deployment is and what it is called first, then how to reach it.
    require(configs.config_35.azure_endpoint, "CHAT_35_API_BASE");
    require(configs.config_35.azure_deployment, "CHAT_35_DEPLOPMENT_NAME");
    require(configs.config_4.azure_endpoint, "CHAT_4_API_BASE");
    require(configs.config_4.azure_deployment, "CHAT_4_DEPLOPMENT_NAME");
    require(configs.config_35.api_key, "CHAT_35_API_KEY");
    require(configs.config_35.api_version, "CHAT_35_API_VERSION");
    require(configs.config_4.api_key, "CHAT_4_API_KEY");
    require(configs.config_4.api_version, "CHAT_4_API_VERSION");
    if (!missing.empty()) throw ValueError(text::settings_missing + missing);

    auto db = querygraph::CustomSQLDatabase::from_uri(database_url);
    status_line(text::agent_ready);
    return std::make_shared<querygraph::QueryGraph>(std::move(db), configs.config_35, configs.config_4);
}

std::shared_ptr<querygraph::QueryGraph> create_agent(const std::string& database_url,
                                                     querygraph::GraphModels models,
                                                     querygraph::QueryGraphOptions options) {
    auto db = querygraph::CustomSQLDatabase::from_uri(database_url);
    auto graph = std::make_shared<querygraph::QueryGraph>(std::move(db), std::move(models), options);
    status_line(text::agent_ready);
    return graph;
}

Value answer_record(const Value& final_state) {
    if (!final_state.is_object())
        throw TypeError("the final state must be a record, got a " + kind_name(final_state));
    if (sql_never_succeeded(final_state)) {
        // The analysis never ran; an image path the model may have named belongs to no plot.
        return Value{{"output", require_key(final_state, "final_response")},
                     {"python_code", nullptr},
                     {"image_path", nullptr},
                     {"generated_query", require_key(final_state, "generated_sql_query")},
                     {"sql_execution_result", require_key(final_state, "sql_execution_result")}};
    }
    return Value{{"output", require_key(final_state, "final_response")},
                 {"python_code", require_key(final_state, "pandas_code")},
                 {"image_path", require_key(final_state, "image_path")},
                 {"generated_query", require_key(final_state, "generated_sql_query")},
                 {"sql_execution_result", require_key(final_state, "sql_execution_result")}};
}

RunOutcome run_question(const AgentInvoke& agent, const std::string& query, const std::string& media_path) {
    const Value inputs = {{"user_question", query}, {"save_path", media_path}};
    std::filesystem::create_directories(media_path);
    if (!agent) {
        RunOutcome nothing;
        nothing.result = text::no_agent;
        return nothing;
    }

    RunOutcome outcome;
    const auto usage = llm::get_openai_callback();
    try {
        const Value final_state = agent(inputs);
        outcome.final_state = final_state;
        outcome.result = answer_record(final_state);
        outcome.sql_failed = sql_never_succeeded(final_state);
        if (outcome.sql_failed) outcome.last_database_error = last_database_error(final_state);
        outcome.tokens = usage.total_tokens();
        outcome.cost = usage.total_cost();
    } catch (const std::exception& error) {
        std::cerr << "Traceback: " << type_name(error) << ": " << error.what() << std::endl;
        status_line(text::run_failed + std::string(error.what()));
        outcome = RunOutcome{};
        outcome.result = Value{{"output", text::error_output}};
        outcome.error = error.what();
        outcome.error_cause = failure_cause(error);
    }
    return outcome;
}

void report_usage(const RunOutcome& outcome, const std::string& velta_api_key, const std::string& query) {
    if (!outcome.tokens || !outcome.cost) return;
    // The answer is already paid for: no failure of its report may take it away.
    try {
        api::send_user_question(velta_api_key, query, *outcome.tokens, *outcome.cost);
    } catch (const std::exception& error) {
        status_line(text::report_failed + std::string(error.what()));
    }
}

Value run_agent(const AgentInvoke& agent, const std::string& velta_api_key, const std::string& query,
                const std::string& media_path) {
    RunOutcome outcome = run_question(agent, query, media_path);
    report_usage(outcome, velta_api_key, query);
    return std::move(outcome.result);
}

Value CustomRunnableAgent::plan(const Value& intermediate_steps, const Value& callbacks,
                                const Value& inputs) const {
    if (!inputs.is_object())
        throw TypeError("the agent's inputs must be a record, got a " + kind_name(inputs));
    if (!runnable) throw ValueError("CustomRunnableAgent has no runnable");
    Value input = inputs;
    input["intermediate_steps"] = intermediate_steps;
    return runnable(input, Value{{"callbacks", callbacks}});
}

}  // namespace veltaai::agent
