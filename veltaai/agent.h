#pragma once
// The agent front end: what a host application calls to set the system up for one database
// and to ask it questions.
//
//     auto agent = veltaai::agent::create_agent(key, "PostgreSQL", "shop", "me", pw, "db", "5432");
//     if (agent) veltaai::agent::run_agent(agent, key, "Which genres sell best?", "media");
//
// The chat configurations come from the product's service (create_agent) or from the
// environment settings (create_agent_from_settings). Every operation of codetool is reachable
// under this namespace as well, for hosts that use only this module.

#include "veltaai/codetool.h"
#include "veltaai/core/value.h"
#include "veltaai/llm/chat_openai.h"
#include "veltaai/querygraph/querygraph.h"
#include "veltaai/settings.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace veltaai::querygraph {
class CustomSQLDatabase;
}  // namespace veltaai::querygraph

namespace veltaai::agent {

using codetool::default_packages;
using codetool::ensure_virtual_environment;
using codetool::env_path;
using codetool::execute_code;
using codetool::initialize_environment;
using codetool::install_defaults;
using codetool::install_dependencies;
using codetool::python_executable;
using codetool::safe_install_modules;
using codetool::VirtualEnvironmentError;

// An OpenAI chat model configured by the product's service: fetches the service's OpenAI
// configuration ({"model_name", "temperature", "api_key"}; temperature 1 when absent), prints
// "LLM is Ready!" and returns the model. The model talks to OPENAI_BASE_URL when that is set.
// No configuration from the service (a failed or timed-out fetch, an empty list) is a
// ValueError, and nothing is printed. A configuration without its model name or key cannot be
// used: "Internal Server Error!" is printed and a ValueError names what is missing.
std::shared_ptr<llm::ChatOpenAI> create_chat_openai_instance(const std::string& velta_api_key);

// ---------------------------------------------------------------------------------------------
// Building an agent

// The database URL of a server database: "<scheme>://user:password@host:port/name" with the
// scheme of engine ("PostgreSQL", "MsSQL" or "MySQL", case included). User, password and name
// are percent-encoded, so any character in them reaches the server unchanged. An unknown
// engine is a ValueError naming the known ones.
std::string database_uri(const std::string& engine, const std::string& db_name, const std::string& db_user,
                         const std::string& db_password, const std::string& db_host,
                         const std::string& db_port);

// The two chat configurations an agent needs.
struct AzureConfigs {
    AzureOpenAIChat35 config_35;
    AzureOpenAIChat4 config_4;

    // Both can be used: endpoint, key and deployment of each are set and non-empty.
    bool complete() const;
};

// The configurations named by the service's Azure records, walked in order: "GPT-3.5" sets
// config_35, a model beginning with "GPT-4" sets config_4 (a later record of a family wins),
// anything else is skipped; an absent field is empty. A family without a record has its
// endpoint unset and its other fields at the settings defaults. records must be a list of
// records (TypeError) and each must name its "model" (KeyError).
AzureConfigs azure_configs_from_records(const Value& records);

// GET <service>/velta/azure-openais/ and the walk above, given api::service_time_limit(). The
// status is not examined; no connection or no answer in time is an HttpError and a body that
// is not JSON a ValueError.
AzureConfigs fetch_azure_configs();

// The configurations of the environment settings (CHAT_35_* and CHAT_4_* variables, after
// .env), as the settings records take them when built without arguments.
AzureConfigs azure_configs_from_settings();

// What a query graph is built from.
struct AgentParts {
    std::shared_ptr<querygraph::CustomSQLDatabase> custom_sql_db;
    AzureConfigs configs;
};

// Opens the database of database_url and fetches the configurations from the service. Prints
// "Agent is Ready!" when both are complete and returns the parts; otherwise prints
// "Internal Server Error!" and returns nothing. Errors of opening and fetching reach the
// caller with nothing printed.
std::optional<AgentParts> prepare_agent(const std::string& database_url);

// The query graph over a server database, with chat configurations from the product service:
// prepare_agent on database_uri(engine, ...), then the QueryGraph. Nothing when the service's
// configurations are incomplete ("Internal Server Error!" printed). velta_api_key and
// instructions are accepted and not used here.
std::shared_ptr<querygraph::QueryGraph> create_agent(
    const std::string& velta_api_key, const std::string& engine, const std::string& db_name,
    const std::string& db_user, const std::string& db_password, const std::string& db_host,
    const std::string& db_port, const std::optional<std::string>& instructions = std::nullopt);
std::shared_ptr<querygraph::QueryGraph> create_agent(
    const std::string& velta_api_key, const std::string& engine, const std::string& db_name,
    const std::string& db_user, const std::string& db_password, const std::string& db_host, int db_port,
    const std::optional<std::string>& instructions = std::nullopt);

// The same for any database URL the handle opens ("sqlite:///path/chinook.sqlite" included).
std::shared_ptr<querygraph::QueryGraph> create_agent(const std::string& database_url);

// The query graph over database_url with the chat configurations of the environment settings,
// for use without the product service. Prints "Agent is Ready!" when built. A deployment
// whose endpoint, name, key or version is unset is a ValueError naming the variables to set.
std::shared_ptr<querygraph::QueryGraph> create_agent_from_settings(const std::string& database_url);
// The same with configurations the host has adjusted (another deployment name, say); the
// variables named by the error are those the fields come from.
std::shared_ptr<querygraph::QueryGraph> create_agent_from_settings(const std::string& database_url,
                                                                   const AzureConfigs& configs);

// The query graph over database_url with the given models, one per role (for any
// OpenAI-compatible service). Prints "Agent is Ready!" when built; the database's and the
// graph's errors reach the caller.
std::shared_ptr<querygraph::QueryGraph> create_agent(const std::string& database_url,
                                                     querygraph::GraphModels models,
                                                     querygraph::QueryGraphOptions options = {});

// ---------------------------------------------------------------------------------------------
// Running an agent

// One run of an agent: the graph input record {"user_question", "save_path"} to its final state.
using AgentInvoke = std::function<Value(const Value& inputs)>;

// The outcome of one question before any usage report: the answer or error record, and the
// token and cost totals of a run that came to an answer.
struct RunOutcome {
    Value result;
    std::optional<long> tokens;
    std::optional<double> cost;
    // The run answered although none of its SQL succeeded (the terminal failure route).
    bool sql_failed = false;
    // On that route, the newest error a database gave, if any query was rejected at all
    // (otherwise every query merely returned no rows).
    std::optional<std::string> last_database_error;
    // The final state of a run that came to its end; null otherwise.
    Value final_state;
    // A run that failed: what failed, and what the model service said when it was a model call.
    std::string error;
    std::string error_cause;
};

// The answer record of a final state: "output", "python_code", "image_path", "generated_query"
// and "sql_execution_result", copied from "final_response", "pandas_code", "image_path",
// "generated_sql_query" and "sql_execution_result". A missing key is a KeyError. A state whose
// last SQL execution failed (execution_success false) never reached the analysis: its
// "python_code" and "image_path" are null whatever the state holds.
Value answer_record(const Value& final_state);

// Creates media_path (with its parents), then runs agent on the question inside an accounting
// scope. A failed run writes its trace to standard error, prints
// "An error occurred when running the agent: " and the failure, and gives the error record
// {"output": "An error occurred"} with no totals. An empty agent gives the text
// "Error: No output generated from the agent." with nothing run. No usage is reported.
RunOutcome run_question(const AgentInvoke& agent, const std::string& query, const std::string& media_path);

// Posts the usage report (send_user_question) of an outcome that has its totals; nothing for
// one without. Whatever happens to the report is printed by it and never thrown.
void report_usage(const RunOutcome& outcome, const std::string& velta_api_key, const std::string& query);

// run_question, then report_usage. Returns the answer record, the error record or the text
// above. A directory that cannot be created reaches the caller.
Value run_agent(const AgentInvoke& agent, const std::string& velta_api_key, const std::string& query,
                const std::string& media_path);

// The same for an agent object whose invoke(inputs) runs one question (a QueryGraph); null is
// the empty agent.
template <class Agent>
Value run_agent(const std::shared_ptr<Agent>& agent, const std::string& velta_api_key,
                const std::string& query, const std::string& media_path) {
    AgentInvoke invoke;
    if (agent) invoke = [&agent](const Value& inputs) { return agent->invoke(inputs); };
    return run_agent(invoke, velta_api_key, query, media_path);
}

// ---------------------------------------------------------------------------------------------
// Planning step for an agent executor

// One planning step of a tool-using agent: the wrapped runnable gets the agent's inputs plus
// "intermediate_steps" and a run configuration {"callbacks": callbacks}, and its answer (the
// next action or actions, or the finish) is returned unchanged.
class CustomRunnableAgent {
public:
    using Runnable = std::function<Value(const Value& input, const Value& config)>;

    explicit CustomRunnableAgent(Runnable runnable) : runnable(std::move(runnable)) {}

    // inputs must be a record (TypeError); a key "intermediate_steps" in it is replaced.
    Value plan(const Value& intermediate_steps, const Value& callbacks,
               const Value& inputs = Value::object()) const;

    Runnable runnable;
};

}  // namespace veltaai::agent
