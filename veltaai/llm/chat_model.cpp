#include "veltaai/llm/chat_model.h"

#include "veltaai/core/errors.h"

#include <algorithm>
#include <cmath>

namespace veltaai::llm {
namespace {

Value field_schema(const SchemaField& field) {
    Value out = Value::object();
    if (!field.description.empty()) out["description"] = field.description;
    switch (field.type) {
        case FieldType::text:
            out["type"] = "string";
            break;
        case FieldType::text_list:
            out["type"] = "array";
            out["items"] = {{"type", "string"}};
            break;
        case FieldType::integer:
            out["type"] = "integer";
            break;
        case FieldType::number:
            out["type"] = "number";
            break;
        case FieldType::boolean:
            out["type"] = "boolean";
            break;
    }
    return out;
}

const char* type_name(FieldType type) {
    switch (type) {
        case FieldType::text:
            return "a text";
        case FieldType::text_list:
            return "a list of texts";
        case FieldType::integer:
            return "an integer";
        case FieldType::number:
            return "a number";
        case FieldType::boolean:
            return "a truth value";
    }
    return "?";
}

bool fits(const Value& value, FieldType type) {
    switch (type) {
        case FieldType::text:
            return value.is_string();
        case FieldType::text_list:
            return value.is_array() &&
                   std::all_of(value.begin(), value.end(), [](const Value& v) { return v.is_string(); });
        case FieldType::integer:
            if (value.is_number_integer()) return true;
            if (value.is_number_float()) {
                // 3.0 is an integer written by a model that likes decimals.
                const double number = value.get<double>();
                return std::isfinite(number) && std::floor(number) == number && std::fabs(number) < 9e18;
            }
            return false;
        case FieldType::number:
            return value.is_number();
        case FieldType::boolean:
            return value.is_boolean();
    }
    return false;
}

// The reply record cut down to the schema's fields, in the schema's order.
Value bind(const StructuredSchema& schema, const std::string& json_text, const char* source) {
    const std::string where = "structured reply for " + schema.name + ": ";
    Value parsed;
    try {
        parsed = Value::parse(json_text);
    } catch (const nlohmann::json::parse_error& error) {
        throw ModelServiceError(where + source + " is not valid JSON (" + error.what() + ")");
    }
    if (!parsed.is_object())
        throw ModelServiceError(where + source + " is a " + kind_name(parsed) + ", not a record");
    Value out = Value::object();
    for (const SchemaField& field : schema.fields) {
        const auto it = parsed.find(field.name);
        if (it == parsed.end() || it->is_null())
            throw ModelServiceError(where + "field '" + field.name + "' is missing");
        if (!fits(*it, field.type)) {
            throw ModelServiceError(where + "field '" + field.name + "' should be " + type_name(field.type) +
                                    ", got a " + kind_name(*it));
        }
        out[field.name] = field.type == FieldType::integer ? Value(it->get<long long>()) : *it;
    }
    return out;
}

}  // namespace

Value StructuredSchema::json_schema() const {
    Value properties = Value::object();
    Value required = Value::array();
    for (const SchemaField& field : fields) {
        properties[field.name] = field_schema(field);
        required.push_back(field.name);
    }
    return {{"type", "object"},
            {"properties", properties},
            {"required", required},
            {"additionalProperties", false}};
}

std::string ChatModel::invoke(const std::string& prompt) const {
    return invoke(ChatMessages{ChatMessage::user(prompt)});
}

std::string ChatModel::invoke(const ChatMessages& messages) const {
    ChatRequest request;
    request.messages = messages;
    return complete(request).content;
}

std::shared_ptr<StructuredModel> ChatModel::with_structured_output(StructuredSchema schema,
                                                                   StructuredMethod method) const {
    if (schema.name.empty()) throw ValueError("a structured output schema needs a name");
    if (schema.fields.empty()) throw ValueError("structured output schema " + schema.name + " has no fields");
    return std::make_shared<StructuredModel>(clone(), std::move(schema), method);
}

StructuredModel::StructuredModel(std::shared_ptr<const ChatModel> model, StructuredSchema schema,
                                 StructuredMethod method)
    : model_(std::move(model)), schema_(std::move(schema)), method_(method) {
    if (!model_) throw ValueError("a structured model needs a chat model");
}

Value StructuredModel::invoke(const std::string& prompt) const {
    return invoke(ChatMessages{ChatMessage::user(prompt)});
}

Value StructuredModel::invoke(const ChatMessages& messages) const {
    ChatRequest request;
    request.messages = messages;
    if (method_ == StructuredMethod::function_calling) {
        Value function = {{"name", schema_.name}};
        if (!schema_.description.empty()) function["description"] = schema_.description;
        function["parameters"] = schema_.json_schema();
        request.tools = Value::array({Value{{"type", "function"}, {"function", function}}});
        request.tool_choice = {{"type", "function"}, {"function", {{"name", schema_.name}}}};
        const ChatCompletion reply = model_->complete(request);
        for (const ToolCall& call : reply.tool_calls) {
            if (call.name == schema_.name) return bind(schema_, call.arguments, "the tool call's arguments");
        }
        if (reply.tool_calls.empty()) {
            throw ModelServiceError("structured reply for " + schema_.name + ": the reply has no tool call");
        }
        throw ModelServiceError("structured reply for " + schema_.name + ": the reply calls '" +
                                reply.tool_calls.front().name + "' instead of '" + schema_.name + "'");
    }
    Value format = {{"name", schema_.name}};
    if (!schema_.description.empty()) format["description"] = schema_.description;
    format["schema"] = schema_.json_schema();
    format["strict"] = true;
    request.response_format = {{"type", "json_schema"}, {"json_schema", format}};
    const ChatCompletion reply = model_->complete(request);
    const Value& message = reply.raw["choices"][0]["message"];
    if (message.contains("refusal") && message["refusal"].is_string() &&
        !message["refusal"].get<std::string>().empty()) {
        throw ModelServiceError("structured reply for " + schema_.name +
                                ": the model refused: " + message["refusal"].get<std::string>());
    }
    return bind(schema_, reply.content, "the reply text");
}

}  // namespace veltaai::llm
