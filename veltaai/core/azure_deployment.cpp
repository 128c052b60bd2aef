#include "veltaai/core/azure_deployment.h"

#include "veltaai/core/errors.h"

#include <array>
#include <utility>

namespace veltaai {
namespace {

using Field = std::optional<std::string> AzureDeployment::*;
constexpr std::array<std::pair<const char*, Field>, 4> fields{{
    {"azure_endpoint", &AzureDeployment::azure_endpoint},
    {"api_key", &AzureDeployment::api_key},
    {"api_version", &AzureDeployment::api_version},
    {"azure_deployment", &AzureDeployment::azure_deployment},
}};

}  // namespace

void to_json(Value& record, const AzureDeployment& deployment) {
    record = Value::object();
    for (const auto& [name, field] : fields) {
        const std::optional<std::string>& value = deployment.*field;
        record[name] = value ? Value(*value) : Value();
    }
}

void from_json(const Value& record, AzureDeployment& deployment) {
    if (!record.is_object()) throw TypeError("settings fields must be a record, got a " + kind_name(record));
    deployment = AzureDeployment{};
    for (const auto& [name, value] : record.items()) {
        Field target = nullptr;
        for (const auto& [known, field] : fields) {
            if (name == known) target = field;
        }
        if (target == nullptr) throw TypeError("unexpected field '" + name + "' of an Azure deployment");
        if (value.is_null()) continue;
        if (!value.is_string()) throw TypeError(name + " must be a text, got a " + kind_name(value));
        deployment.*target = value.get<std::string>();
    }
}

}  // namespace veltaai
