#pragma once
// The two chat models of veltaai: ChatOpenAI (OpenAI or any server that speaks its chat
// completions API, by base URL) and AzureChatOpenAI (an Azure OpenAI deployment).

#include "veltaai/core/value.h"
#include "veltaai/llm/chat_model.h"
#include "veltaai/llm/service.h"

#include <chrono>
#include <memory>
#include <optional>
#include <string>

namespace veltaai::llm {

// Settings every chat model has besides where it lives.
struct ModelSettings {
    std::optional<double> temperature = 0.7;
    std::optional<long> max_tokens;
    // Further request settings sent as they stand (e.g. {"top_p": 0.95}).
    Value model_kwargs = Value::object();
    std::chrono::milliseconds timeout{600000};
    RetryPolicy retry;
};

// Sends chat completions requests to one endpoint with one set of settings.
class CompletionsModel : public ChatModel {
public:
    ChatCompletion complete(const ChatRequest& request) const override;

    const ModelSettings& settings() const { return settings_; }
    const std::string& url() const { return endpoint_.url; }
    // The model name sent with each request ("" when none is sent).
    const std::string& model_name() const { return model_; }

protected:
    // model is sent with each request unless empty; counted_as names the model in the
    // accounting when the reply names none.
    CompletionsModel(Endpoint endpoint, std::string model, std::string counted_as, ModelSettings settings);

private:
    Endpoint endpoint_;
    std::string model_;
    std::string counted_as_;
    ModelSettings settings_;
    std::shared_ptr<http::Client> client_;
};

struct ChatOpenAIOptions {
    std::optional<std::string> openai_api_key;  // absent: OPENAI_API_KEY from the environment
    std::string model = "gpt-3.5-turbo";
    std::optional<std::string> base_url;  // absent: OPENAI_BASE_URL, else https://api.openai.com/v1
    ModelSettings settings;
};

class ChatOpenAI : public CompletionsModel {
public:
    explicit ChatOpenAI(ChatOpenAIOptions options);
    std::shared_ptr<const ChatModel> clone() const override;
};

struct AzureChatOpenAIOptions {
    // Absent fields come from AZURE_OPENAI_ENDPOINT, AZURE_OPENAI_API_KEY, OPENAI_API_VERSION;
    // still absent is a ValueError. The deployment name has no fallback.
    AzureDeployment deployment;
    ModelSettings settings;
};

class AzureChatOpenAI : public CompletionsModel {
public:
    explicit AzureChatOpenAI(AzureChatOpenAIOptions options);
    std::shared_ptr<const ChatModel> clone() const override;

    // A model from the fields of a settings record ({"azure_endpoint": ..., "api_key": ...,
    // "api_version": ..., "azure_deployment": ...}; null fields count as absent) plus the
    // settings given here. A record that holds one of max_tokens, temperature or model_kwargs
    // itself is a TypeError naming it; any other unknown field is a TypeError too.
    static std::shared_ptr<AzureChatOpenAI> from_fields(const Value& fields, long max_tokens,
                                                        double temperature, Value model_kwargs);

    const std::string& deployment() const { return deployment_; }

private:
    std::string deployment_;
};

}  // namespace veltaai::llm
