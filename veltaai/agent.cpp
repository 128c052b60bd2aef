#include "veltaai/agent.h"

#include "veltaai/api.h"
#include "veltaai/core/errors.h"

#include <iostream>
#include <optional>

namespace veltaai::agent {
namespace {

// The fixed texts of this module.
namespace text {
constexpr const char* llm_ready = "LLM is Ready!";
constexpr const char* no_configuration = "no chat model configuration could be fetched from the service";
}  // namespace text

std::string text_field(const Value& record, const char* key) {
    const auto it = record.find(key);
    if (it == record.end() || it->is_null()) return {};
    if (!it->is_string()) throw TypeError(std::string("\"") + key + "\" must be a text, got a " + kind_name(*it));
    return it->get<std::string>();
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
    if (!data->is_object()) throw TypeError("the chat model configuration is a " + kind_name(*data) + ", not a record");

    llm::ChatOpenAIOptions options;
    options.model = text_field(*data, "model_name");
    options.openai_api_key = text_field(*data, "api_key");
    options.settings.temperature = temperature_field(*data);
    auto model = std::make_shared<llm::ChatOpenAI>(std::move(options));
    std::cout << text::llm_ready << std::endl;
    return model;
}

}  // namespace veltaai::agent
