#pragma once
// The function-calling client: an Azure OpenAI client whose create call takes the chat
// completions parameters as they stand (messages and tools as records) and returns the reply
// body as a record, for callers that build their own tools and read the tool calls
// themselves. Its calls are counted by the active accounting scope like any model call.

#include "veltaai/core/value.h"
#include "veltaai/llm/service.h"

#include <chrono>
#include <memory>
#include <optional>
#include <string>

namespace veltaai::llm {

struct AzureOpenAIOptions {
    // Absent fields come from AZURE_OPENAI_ENDPOINT, AZURE_OPENAI_API_KEY, OPENAI_API_VERSION;
    // the deployment name has no fallback.
    AzureDeployment deployment;
    std::chrono::milliseconds timeout{600000};
    RetryPolicy retry;
};

// The parameters of one chat completions call. Unset ones are not sent.
struct CompletionParams {
    std::string model;
    Value messages = Value::array();
    Value tools = nullptr;
    Value tool_choice = nullptr;
    std::optional<double> temperature;
    std::optional<long> max_tokens;
    std::optional<double> top_p;
    std::optional<double> frequency_penalty;
    std::optional<double> presence_penalty;
    Value stop = nullptr;  // null: not sent
};

class AzureOpenAI {
public:
    explicit AzureOpenAI(AzureOpenAIOptions options);

    // A client from the fields of a settings record (null fields count as absent) and a time
    // limit in seconds.
    static AzureOpenAI from_fields(const Value& fields, double timeout_seconds);

    // One chat completions call; the reply body as the service sent it. Failures are
    // ModelServiceErrors as for the chat models; a reply without choices is one too.
    Value create(const CompletionParams& params) const;

    const std::string& url() const { return endpoint_.url; }
    std::chrono::milliseconds timeout() const { return endpoint_.timeout; }

private:
    Endpoint endpoint_;
    std::string deployment_;
    std::shared_ptr<http::Client> client_;
};

}  // namespace veltaai::llm
