#pragma once
// A chat model: something that answers a conversation through the chat completions API.
// ChatOpenAI and AzureChatOpenAI are the concrete models; everything else in veltaai holds a
// std::shared_ptr<ChatModel> and calls invoke (reply text) or with_structured_output (reply as
// a record with named, typed fields). Every call is counted by the accounting context that is
// active for the calling thread (see usage.h).

#include "veltaai/core/value.h"
#include "veltaai/llm/chat_completions.h"
#include "veltaai/llm/chat_message.h"

#include <memory>
#include <string>
#include <vector>

namespace veltaai::llm {

enum class FieldType { text, text_list, integer, number, boolean };

struct SchemaField {
    std::string name;
    FieldType type = FieldType::text;
    std::string description;  // what the model is told the field holds
};

// The record type a structured reply is bound to, e.g.
// StructuredSchema{"RelevantTablesOutput", {{"relevant_tables", FieldType::text_list,
// "List of relevant table names"}}}.
struct StructuredSchema {
    StructuredSchema() = default;
    StructuredSchema(std::string name, std::vector<SchemaField> fields, std::string description = {})
        : name(std::move(name)), fields(std::move(fields)), description(std::move(description)) {}

    std::string name;
    std::vector<SchemaField> fields;
    std::string description;  // optional description of the whole record

    // The JSON Schema of the record: every field required, no other properties.
    Value json_schema() const;
};

// How a structured reply is asked for: a forced call of a function named after the schema, or
// a strict JSON-schema response format.
enum class StructuredMethod { function_calling, json_schema };

class StructuredModel;

class ChatModel {
public:
    virtual ~ChatModel() = default;

    // The reply text to one user message.
    std::string invoke(const std::string& prompt) const;
    // The reply text to a conversation.
    std::string invoke(const ChatMessages& messages) const;

    // A model whose invoke returns a record of schema with every field filled.
    std::shared_ptr<StructuredModel> with_structured_output(
        StructuredSchema schema, StructuredMethod method = StructuredMethod::function_calling) const;

    // One round trip to the service, retried as the model's settings say, and counted by the
    // active accounting scope. Every failure is a ModelServiceError (service.h has the kinds).
    virtual ChatCompletion complete(const ChatRequest& request) const = 0;

    // A copy sharing the connection pool, held by structured models so they outlive nothing.
    virtual std::shared_ptr<const ChatModel> clone() const = 0;
};

class StructuredModel {
public:
    StructuredModel(std::shared_ptr<const ChatModel> model, StructuredSchema schema, StructuredMethod method);

    // The reply bound to the schema: a record holding every field, in schema order. A reply
    // that does not fit (no tool call, bad JSON, missing field, wrong type) is a
    // ModelServiceError naming what was wrong.
    Value invoke(const std::string& prompt) const;
    Value invoke(const ChatMessages& messages) const;

    const StructuredSchema& schema() const { return schema_; }
    StructuredMethod method() const { return method_; }

private:
    std::shared_ptr<const ChatModel> model_;
    StructuredSchema schema_;
    StructuredMethod method_;
};

}  // namespace veltaai::llm
