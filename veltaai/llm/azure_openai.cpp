#include "veltaai/llm/azure_openai.h"

#include "veltaai/core/errors.h"
#include "veltaai/llm/chat_completions.h"
#include "veltaai/llm/usage.h"

#include <cmath>
#include <cstdlib>
#include <map>

namespace veltaai::llm {

AzureOpenAI::AzureOpenAI(AzureOpenAIOptions options) : client_(shared_http_client()) {
    const AzureDeployment& where = options.deployment;
    if (!where.azure_deployment) throw ValueError("Must provide the azure_deployment");
    deployment_ = *where.azure_deployment;
    endpoint_.url =
        azure_chat_url(required_setting(where.azure_endpoint, "AZURE_OPENAI_ENDPOINT", "azure_endpoint"),
                       deployment_, required_setting(where.api_version, "OPENAI_API_VERSION", "api_version"));
    endpoint_.secret = required_setting(where.api_key, "AZURE_OPENAI_API_KEY", "api_key");
    endpoint_.headers = {{"api-key", endpoint_.secret}};
    endpoint_.timeout = options.timeout;
    endpoint_.retry = options.retry;
}

AzureOpenAI AzureOpenAI::from_fields(const Value& fields, double timeout_seconds) {
    AzureOpenAIOptions options;
    options.deployment = read_azure_fields(fields, "AzureOpenAI");
    if (!(timeout_seconds > 0)) throw ValueError("timeout must be a positive number of seconds");
    options.timeout = std::chrono::milliseconds(static_cast<long>(std::llround(timeout_seconds * 1000)));
    return AzureOpenAI(std::move(options));
}

Value AzureOpenAI::create(const CompletionParams& params) const {
    if (!params.messages.is_array())
        throw TypeError("messages must be a list, got a " + kind_name(params.messages));
    Value body = Value::object();
    body["model"] = params.model.empty() ? deployment_ : params.model;
    body["messages"] = params.messages;
    if (!params.tools.is_null()) body["tools"] = params.tools;
    if (!params.tool_choice.is_null()) body["tool_choice"] = params.tool_choice;
    if (params.temperature) body["temperature"] = *params.temperature;
    if (params.max_tokens) body["max_tokens"] = *params.max_tokens;
    if (params.top_p) body["top_p"] = *params.top_p;
    if (params.frequency_penalty) body["frequency_penalty"] = *params.frequency_penalty;
    if (params.presence_penalty) body["presence_penalty"] = *params.presence_penalty;
    if (!params.stop.is_null()) body["stop"] = params.stop;

    Value reply = post_chat_completions(*client_, endpoint_, body);
    // Checks the shape and reads the usage; the caller gets the body untouched.
    const ChatCompletion parsed = parse_chat_completion(reply);
    record_usage(parsed.model.empty() ? deployment_ : parsed.model, parsed.usage);
    return reply;
}

}  // namespace veltaai::llm
