#include "veltaai/function_calling/base.h"

#include "veltaai/core/errors.h"
#include "veltaai/core/log.h"
#include "veltaai/core/text.h"
#include "veltaai/llm/chat_completions.h"

#include <yaml-cpp/yaml.h>

#include <dlfcn.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <regex>
#include <set>
#include <sstream>

namespace veltaai::function_calling {

namespace {

namespace fs = std::filesystem;

constexpr char kFunctionName[] = "select_relevant_tables";
constexpr char kParameter[] = "relevant_tables";
constexpr char kNamesIntro[] = "Here is the list table name, you can choose from: ";
constexpr char kSchemaIntro[] = "And the schema from all tables: ";
// The request's fields around the tool, the question and the model's name: message frame,
// tool_choice, sampling settings (about 230 bytes), with room to spare.
constexpr std::size_t kRequestFrameBytes = 400;

const fs::path kCatalogue = fs::path("function_calling") / "prompt" / "relevant_table.yaml";

// The directory this library was loaded from, found through one of its own symbols.
fs::path library_directory() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<const void*>(&get_relevant_tables_path), &info) == 0 ||
        info.dli_fname == nullptr) {
        return fs::current_path();
    }
    return fs::absolute(fs::path(info.dli_fname)).parent_path();
}

std::string join(const std::vector<std::string>& parts, const std::string& separator) {
    std::string out;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i > 0) out += separator;
        out += parts[i];
    }
    return out;
}

// The bytes text takes inside a JSON string: quotes, backslashes and control characters escaped.
std::size_t json_size(std::string_view text) {
    std::size_t size = 0;
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\' || c == '\n' || c == '\t' || c == '\r' || c == '\b' || c == '\f')
            size += 2;
        else if (u < 0x20)
            size += 6;
        else
            size += 1;
    }
    return size;
}

std::vector<std::string> split(const std::string& text, const std::string& separator) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (std::size_t at = text.find(separator); at != std::string::npos; at = text.find(separator, start)) {
        parts.push_back(text.substr(start, at - start));
        start = at + separator.size();
    }
    parts.push_back(text.substr(start));
    return parts;
}

// ---------------------------------------------------------------------------------------------
// YAML with standard types only, resolved the way YAML 1.1 resolves plain scalars.

const std::regex kNull(R"(~|null|Null|NULL|)");
const std::regex kTrue(R"(yes|Yes|YES|true|True|TRUE|on|On|ON)");
const std::regex kFalse(R"(no|No|NO|false|False|FALSE|off|Off|OFF)");
const std::regex kDecimal(R"([-+]?(0|[1-9][0-9_]*))");
const std::regex kOctal(R"([-+]?0[0-7_]+)");
const std::regex kHex(R"([-+]?0x[0-9a-fA-F_]+)");
const std::regex kBinary(R"([-+]?0b[01_]+)");
const std::regex kFloat(R"([-+]?([0-9][0-9_]*)?\.[0-9_]*([eE][-+]?[0-9]+)?)");
const std::regex kInfinity(R"([-+]?\.(inf|Inf|INF))");
const std::regex kNan(R"(\.(nan|NaN|NAN))");

constexpr char kTagPrefix[] = "tag:yaml.org,2002:";

Value integer_from(std::string text, int base) {
    std::erase(text, '_');
    bool negative = false;
    if (!text.empty() && (text[0] == '-' || text[0] == '+')) {
        negative = text[0] == '-';
        text.erase(0, 1);
    }
    if (base == 16 || base == 2) text.erase(0, 2);  // 0x, 0b
    errno = 0;
    char* end = nullptr;
    const unsigned long long magnitude = std::strtoull(text.c_str(), &end, base);
    if (errno == ERANGE ||
        magnitude > static_cast<unsigned long long>(std::numeric_limits<long long>::max())) {
        throw ValueError("integer out of range in YAML: " + text);
    }
    const auto value = static_cast<long long>(magnitude);
    return negative ? -value : value;
}

Value number_from(std::string text) {
    std::erase(text, '_');
    if (std::regex_match(text, kNan)) return std::numeric_limits<double>::quiet_NaN();
    if (std::regex_match(text, kInfinity)) {
        return text[0] == '-' ? -std::numeric_limits<double>::infinity()
                              : std::numeric_limits<double>::infinity();
    }
    return std::stod(text);
}

Value plain_scalar(const std::string& text) {
    if (std::regex_match(text, kNull)) return nullptr;
    if (std::regex_match(text, kTrue)) return true;
    if (std::regex_match(text, kFalse)) return false;
    if (std::regex_match(text, kDecimal)) return integer_from(text, 10);
    if (std::regex_match(text, kHex)) return integer_from(text, 16);
    if (std::regex_match(text, kBinary)) return integer_from(text, 2);
    if (std::regex_match(text, kOctal)) return integer_from(text, 8);
    if (std::regex_match(text, kFloat) && text.find_first_of("0123456789") != std::string::npos) {
        return number_from(text);
    }
    if (std::regex_match(text, kInfinity) || std::regex_match(text, kNan)) return number_from(text);
    return text;
}

// A scalar under an explicit standard tag (!!str, !!int, ...).
Value tagged_scalar(const std::string& type, const std::string& text, const YAML::Mark& mark) {
    if (type == "str" || type == "timestamp") return text;  // dates have no value kind of their own
    Value value = plain_scalar(text);
    const bool fits = (type == "null" && value.is_null()) || (type == "bool" && value.is_boolean()) ||
                      (type == "int" && value.is_number_integer()) || (type == "float" && value.is_number());
    if (!fits) {
        throw ValueError("YAML value '" + text + "' at line " + std::to_string(mark.line + 1) +
                         " is not a valid !!" + type);
    }
    if (type == "float") return value.get<double>();
    return value;
}

Value to_value(const YAML::Node& node) {
    const std::string& tag = node.Tag();
    const bool plain = tag.empty() || tag == "?";
    const bool standard = tag.rfind(kTagPrefix, 0) == 0;
    if (!plain && tag != "!" && !standard) {
        throw ValueError("YAML tag '" + tag + "' at line " + std::to_string(node.Mark().line + 1) +
                         " is not a standard type");
    }
    const std::string type = standard ? tag.substr(sizeof(kTagPrefix) - 1) : std::string();
    switch (node.Type()) {
        case YAML::NodeType::Undefined:
        case YAML::NodeType::Null:
            return nullptr;
        case YAML::NodeType::Scalar:
            if (standard) return tagged_scalar(type, node.Scalar(), node.Mark());
            return plain ? plain_scalar(node.Scalar()) : Value(node.Scalar());  // "!": quoted text
        case YAML::NodeType::Sequence: {
            if (standard && type != "seq") throw ValueError("YAML list tagged !!" + type);
            Value list = Value::array();
            for (const auto& item : node) list.push_back(to_value(item));
            return list;
        }
        case YAML::NodeType::Map: {
            if (standard && type != "map") throw ValueError("YAML mapping tagged !!" + type);
            Value record = Value::object();
            for (const auto& entry : node) {
                if (!entry.first.IsScalar()) {
                    throw ValueError("YAML mapping key at line " +
                                     std::to_string(entry.first.Mark().line + 1) + " is not a scalar");
                }
                record[entry.first.Scalar()] = to_value(entry.second);
            }
            return record;
        }
    }
    return nullptr;
}

std::shared_ptr<querygraph::CustomSQLDatabase> require_database(
    std::shared_ptr<querygraph::CustomSQLDatabase> db) {
    if (!db) throw ValueError("RelevantTablePicker needs a database");
    return db;
}

}  // namespace

std::string get_relevant_tables_path() {
    if (const std::optional<std::string> data_dir = environment_variable("VELTAAI_DATA_DIR")) {
        return fs::absolute(fs::path(*data_dir) / kCatalogue).lexically_normal().string();
    }
    const fs::path beside_library = (library_directory() / "veltaai" / kCatalogue).lexically_normal();
    std::error_code ignored;
    if (fs::exists(beside_library, ignored)) return beside_library.string();
#ifdef VELTAAI_PACKAGE_SOURCE_DIR
    const fs::path in_sources = (fs::path(VELTAAI_PACKAGE_SOURCE_DIR) / kCatalogue).lexically_normal();
    if (fs::exists(in_sources, ignored)) return in_sources.string();
#endif
    return beside_library.string();
}

const std::string RELEVANT_TABLES_PATH = get_relevant_tables_path();

Value load_yaml(const std::string& file_path) {
    std::ifstream file(file_path);
    if (!file) throw Error("cannot open '" + file_path + "' for reading");
    std::ostringstream text;
    text << file.rdbuf();
    if (file.bad()) throw Error("cannot read '" + file_path + "'");
    std::vector<YAML::Node> documents;
    try {
        documents = YAML::LoadAll(text.str());
    } catch (const YAML::Exception& e) {
        throw ValueError("malformed YAML in '" + file_path + "': " + e.what());
    }
    if (documents.size() > 1) throw ValueError("'" + file_path + "' holds more than one YAML document");
    if (documents.empty()) return nullptr;
    return to_value(documents.front());
}

Value get_tool_revant_tables() {
    return Value::array({load_yaml(RELEVANT_TABLES_PATH)});
}

RelevantTablePicker::RelevantTablePicker(const AzureOpenAIChat35& config,
                                         std::shared_ptr<querygraph::CustomSQLDatabase> db,
                                         const querygraph::QueryGraphOptions& options)
    : client_(llm::AzureOpenAI::from_fields(config.to_record(),
                                            static_cast<double>(options.picker_timeout.count()))),
      model_name_(config.azure_deployment.value_or("")),
      max_tokens_(options.picker_max_tokens),
      temperature_(options.temperature),
      top_p_(options.top_p),
      schema_info_tool_(require_database(std::move(db))) {}

Value RelevantTablePicker::get_tools(const std::vector<std::string>& table_names_from_db,
                                     const std::string& question) {
    Value tools = get_tool_revant_tables();
    Value& parameter = tools.at(0).at("function").at("parameters").at("properties").at(kParameter);
    const Value& description = parameter.at("description");
    if (!description.is_string()) {
        throw TypeError("the catalogue's " + std::string(kParameter) + " description must be a text, got a " +
                        kind_name(description));
    }
    const std::string original = description.get<std::string>();
    Value& allowed = parameter.at("items").at("properties").at("table_name")["enum"];
    const auto& db = schema_info_tool_.db();
    const auto show = [&](const std::vector<std::string>& names, const std::string& note,
                          const std::string& schemas) {
        parameter["description"] =
            original + note + kNamesIntro + join(names, ", ") + ".\n" + kSchemaIntro + schemas;
        allowed = Value::array();
        for (const auto& name : names) allowed.push_back(name);
    };

    // What the request holds besides the tables (the catalogue, the longest note, the question,
    // the sampling fields), then per table its form, its place in the names and its allowed value.
    const std::size_t total = db->get_usable_table_names().size();
    show({}, querygraph::shown_tables_note(total, total) + "\n", "");
    const std::size_t frame =
        tools.dump().size() + json_size(question) + json_size(model_name_) + kRequestFrameBytes;
    const std::size_t budget = db->options().budgets.picker_tokens * 4;
    const std::size_t room = budget > frame ? budget - frame : 0;
    const auto cost = [&](const std::vector<std::string>& names) {
        return [&names](std::size_t i, const std::string& form) {
            const std::size_t name = json_size(names[i]);
            return json_size(form) + (i ? 2 : 0) + name + 2 + name + 3;
        };
    };

    // The names as the schema tool reads them (blanks around them and empty ones dropped).
    const std::vector<std::string> lookup = querygraph::table_name_list(join(table_names_from_db, ", "));
    if (const auto whole = db->whole_table_info(lookup, room, cost(lookup))) {
        show(table_names_from_db, "", *whole);
        return tools;
    }
    // Too large to show whole: the listed tables in the order of their use for the question.
    std::set<std::string> listed(lookup.begin(), lookup.end());
    std::vector<std::string> order;
    for (std::string& name : db->ranked_table_names(question)) {
        if (listed.erase(name)) order.push_back(std::move(name));
    }
    for (const std::string& name : lookup) {
        if (listed.erase(name)) order.push_back(name);  // listed but not usable: get_table_info names it
    }
    const querygraph::FittedSchemas fitted =
        db->fit_table_info(order, room, cost(order), querygraph::kSelectionShares);
    show(fitted.names, querygraph::shown_tables_note(fitted.names.size(), total) + "\n", fitted.text);
    return tools;
}

Value RelevantTablePicker::invoke(graph::StateView& state) {
    std::string question;
    if (state.contains("user_question") && !state.at("user_question").is_null()) {
        const Value& asked = state.at("user_question");
        if (!asked.is_string()) throw TypeError("user_question must be a text, got a " + kind_name(asked));
        question = asked.get<std::string>();
    }
    const Value& listed = state.at("table_names_from_db");
    if (!listed.is_string())
        throw TypeError("table_names_from_db must be a text, got a " + kind_name(listed));

    llm::CompletionParams params;
    params.model = model_name_;
    params.messages = Value::array({{{"role", "user"}, {"content", question}}});
    params.tools = get_tools(split(listed.get<std::string>(), ", "), question);
    log::debug("Tools: " + params.tools.dump());
    params.tool_choice = {{"type", "function"}, {"function", {{"name", kFunctionName}}}};
    params.temperature = temperature_;
    params.max_tokens = max_tokens_;
    params.top_p = top_p_;
    params.frequency_penalty = 0;
    params.presence_penalty = 0;

    const llm::ChatCompletion reply = llm::parse_chat_completion(client_.create(params));
    if (reply.tool_calls.empty())
        throw ModelServiceError("the model's reply holds no call of " + std::string(kFunctionName));
    Value arguments;
    try {
        arguments = Value::parse(reply.tool_calls.front().arguments);
    } catch (const Value::parse_error& e) {
        throw ModelServiceError("the arguments of " + std::string(kFunctionName) +
                                " are not JSON: " + e.what());
    }
    if (!arguments.is_object()) {
        throw ModelServiceError("the arguments of " + std::string(kFunctionName) +
                                " must be a record, got a " + kind_name(arguments));
    }
    log::debug("Function_args: " + arguments.dump());
    return arguments;
}

}  // namespace veltaai::function_calling
