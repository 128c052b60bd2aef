#pragma once
// Chat models that talk to a ChatStub, with retries off so that a scripted failure is seen at
// once rather than after the back-off.

#include "stubs/chat_stub.h"
#include "veltaai/llm/chat_openai.h"

#include <memory>

namespace veltaai::stubs {

inline std::shared_ptr<llm::ChatOpenAI> openai_model(const ChatStub& stub) {
    llm::ChatOpenAIOptions options;
    options.openai_api_key = "sk-stub";
    options.base_url = stub.openai_base_url();
    options.settings.retry.max_retries = 0;
    return std::make_shared<llm::ChatOpenAI>(std::move(options));
}

}  // namespace veltaai::stubs
