#pragma once
// The agent front end: what a host application calls to set the system up.

#include "veltaai/llm/chat_openai.h"

#include <memory>
#include <string>

namespace veltaai::agent {

// An OpenAI chat model configured by the product's service: fetches the service's OpenAI
// configuration ({"model_name", "temperature", "api_key"}; temperature 1 when absent, an
// absent name or key passed on as empty), prints "LLM is Ready!" and returns the model. The
// model talks to OPENAI_BASE_URL when that is set. No configuration from the service is a
// ValueError, and nothing is printed.
std::shared_ptr<llm::ChatOpenAI> create_chat_openai_instance(const std::string& velta_api_key);

}  // namespace veltaai::agent
