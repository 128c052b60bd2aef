#include "veltaai/settings.h"

#include "veltaai/core/dotenv.h"
#include "veltaai/core/text.h"

#include <cstdlib>

namespace veltaai::settings_detail {
namespace {

// A field written empty in the environment is an empty field, not a missing one.
std::optional<std::string> variable(const std::string& name) {
    return environment_text(name.c_str());
}

// "DEPLOPMENT" is the variable's real spelling in deployed environments.
ChatDefaults read_defaults(const std::string& prefix) {
    ChatDefaults defaults;
    defaults.azure_endpoint = variable(prefix + "API_BASE");
    defaults.api_key = variable(prefix + "API_KEY");
    defaults.api_version = variable(prefix + "API_VERSION");
    defaults.azure_deployment = variable(prefix + "DEPLOPMENT_NAME");
    return defaults;
}

struct LoadedDefaults {
    ChatDefaults chat_35;
    ChatDefaults chat_4;
};

LoadedDefaults load_defaults() {
    load_dotenv();
    LoadedDefaults loaded;
    loaded.chat_35 = read_defaults("CHAT_35_");
    loaded.chat_4 = read_defaults("CHAT_4_");
    return loaded;
}

// Read once as the library loads, so later changes to the environment do not leak into
// records built afterwards.
const LoadedDefaults loaded_defaults = load_defaults();

std::string field_text(const std::optional<std::string>& value) {
    return value ? quoted_text(*value) : "None";
}

}  // namespace

const ChatDefaults& chat_35_defaults() {
    return loaded_defaults.chat_35;
}
const ChatDefaults& chat_4_defaults() {
    return loaded_defaults.chat_4;
}

std::string to_text(const char* type_name, const std::optional<std::string>& azure_endpoint,
                    const std::optional<std::string>& api_key, const std::optional<std::string>& api_version,
                    const std::optional<std::string>& azure_deployment) {
    // An empty key hides nothing; any other key is shown only as being there.
    const std::string key_text = !api_key ? "None" : api_key->empty() ? "''" : "<hidden>";
    return std::string(type_name) + "(azure_endpoint=" + field_text(azure_endpoint) +
           ", api_key=" + key_text + ", api_version=" + field_text(api_version) +
           ", azure_deployment=" + field_text(azure_deployment) + ")";
}

}  // namespace veltaai::settings_detail
