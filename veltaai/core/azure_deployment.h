#pragma once
// Where one Azure OpenAI chat deployment lives and how to reach it: the four fields every
// settings record, model and client of a deployment holds, and their one record form
// {"azure_endpoint", "api_key", "api_version", "azure_deployment"} (absent fields null).

#include "veltaai/core/value.h"

#include <optional>
#include <string>

namespace veltaai {

struct AzureDeployment {
    std::optional<std::string> azure_endpoint;
    std::optional<std::string> api_key;
    std::optional<std::string> api_version;
    std::optional<std::string> azure_deployment;

    bool operator==(const AzureDeployment&) const = default;
};

// The record form, fields in the order above.
void to_json(Value& record, const AzureDeployment& deployment);
// From the record form: null or missing fields stay absent. Not a record, a field that is not
// a text, or a field of another name is a TypeError naming it.
void from_json(const Value& record, AzureDeployment& deployment);

}  // namespace veltaai
