#include "veltaai/llm/chat_openai.h"

#include "veltaai/core/errors.h"
#include "veltaai/core/text.h"
#include "veltaai/llm/usage.h"

#include <cstdlib>
#include <map>
#include <set>

namespace veltaai::llm {
namespace {

constexpr const char* default_openai_base_url = "https://api.openai.com/v1";

void check_model_kwargs(const Value& model_kwargs) {
    if (!model_kwargs.is_object())
        throw TypeError("model_kwargs must be a record, got a " + kind_name(model_kwargs));
    // These have their own settings; taking them from the extra settings would hide a mistake.
    for (const char* explicit_key : {"model", "messages", "temperature", "max_tokens"}) {
        if (model_kwargs.contains(explicit_key)) {
            throw ValueError(std::string("Parameter ") + explicit_key +
                             " should be specified explicitly, not as part of model_kwargs");
        }
    }
}

}  // namespace

CompletionsModel::CompletionsModel(Endpoint endpoint, std::string model, std::string counted_as,
                                   ModelSettings settings)
    : endpoint_(std::move(endpoint)),
      model_(std::move(model)),
      counted_as_(std::move(counted_as)),
      settings_(std::move(settings)),
      client_(shared_http_client()) {
    check_model_kwargs(settings_.model_kwargs);
    endpoint_.timeout = settings_.timeout;
    endpoint_.retry = settings_.retry;
}

ChatCompletion CompletionsModel::complete(const ChatRequest& request) const {
    Value body = Value::object();
    if (!model_.empty()) body["model"] = model_;
    Value messages = Value::array();
    for (const ChatMessage& message : request.messages) messages.push_back(message.to_json());
    body["messages"] = std::move(messages);
    if (const auto temperature = request.temperature ? request.temperature : settings_.temperature) {
        body["temperature"] = *temperature;
    }
    if (const auto max_tokens = request.max_tokens ? request.max_tokens : settings_.max_tokens) {
        body["max_tokens"] = *max_tokens;
    }
    for (const auto& [key, value] : settings_.model_kwargs.items()) body[key] = value;
    if (!request.tools.is_null()) body["tools"] = request.tools;
    if (!request.tool_choice.is_null()) body["tool_choice"] = request.tool_choice;
    if (!request.response_format.is_null()) body["response_format"] = request.response_format;

    ChatCompletion reply = parse_chat_completion(post_chat_completions(*client_, endpoint_, body));
    record_usage(reply.model.empty() ? counted_as_ : reply.model, reply.usage);
    return reply;
}

ChatOpenAI::ChatOpenAI(ChatOpenAIOptions options)
    : CompletionsModel(
          [&] {
              Endpoint endpoint;
              const std::string base_url =
                  options.base_url
                      ? *options.base_url
                      : environment_variable("OPENAI_BASE_URL").value_or(default_openai_base_url);
              endpoint.url = openai_chat_url(base_url);
              endpoint.secret = required_setting(options.openai_api_key, "OPENAI_API_KEY", "openai_api_key");
              // A local server may need no key: an empty one sends no Authorization header.
              if (!endpoint.secret.empty())
                  endpoint.headers = {{"Authorization", "Bearer " + endpoint.secret}};
              return endpoint;
          }(),
          options.model, options.model, options.settings) {}

std::shared_ptr<const ChatModel> ChatOpenAI::clone() const {
    return std::make_shared<ChatOpenAI>(*this);
}

AzureChatOpenAI::AzureChatOpenAI(AzureChatOpenAIOptions options)
    : CompletionsModel(
          [&] {
              const AzureDeployment& where = options.deployment;
              if (!where.azure_deployment) throw ValueError("Must provide the azure_deployment");
              Endpoint endpoint;
              endpoint.url = azure_chat_url(
                  required_setting(where.azure_endpoint, "AZURE_OPENAI_ENDPOINT", "azure_endpoint"),
                  *where.azure_deployment,
                  required_setting(where.api_version, "OPENAI_API_VERSION", "api_version"));
              endpoint.secret = required_setting(where.api_key, "AZURE_OPENAI_API_KEY", "api_key");
              endpoint.headers = {{"api-key", endpoint.secret}};
              return endpoint;
          }(),
          "", options.deployment.azure_deployment.value_or(""), options.settings),
      deployment_(options.deployment.azure_deployment.value_or("")) {}

std::shared_ptr<const ChatModel> AzureChatOpenAI::clone() const {
    return std::make_shared<AzureChatOpenAI>(*this);
}

std::shared_ptr<AzureChatOpenAI> AzureChatOpenAI::from_fields(const Value& fields, long max_tokens,
                                                              double temperature, Value model_kwargs) {
    if (!fields.is_object()) throw TypeError("settings fields must be a record, got a " + kind_name(fields));
    for (const char* doubled : {"max_tokens", "temperature", "model_kwargs"}) {
        if (fields.contains(doubled)) {
            throw TypeError(std::string("AzureChatOpenAI() got multiple values for keyword argument '") +
                            doubled + "'");
        }
    }
    AzureChatOpenAIOptions options;
    options.deployment = read_azure_fields(fields, "AzureChatOpenAI");
    options.settings.max_tokens = max_tokens;
    options.settings.temperature = temperature;
    options.settings.model_kwargs = std::move(model_kwargs);
    return std::make_shared<AzureChatOpenAI>(std::move(options));
}

}  // namespace veltaai::llm
