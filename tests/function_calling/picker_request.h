#pragma once
// The relevant-table picker as the tests drive it: pointed at a ChatStub's Azure shape, and the
// places in its request where the table parameter and the names it allows stand.

#include "stubs/chat_stub.h"
#include "veltaai/function_calling/base.h"

#include <memory>

namespace veltaai::function_calling {

inline const Value::json_pointer kParameter("/0/function/parameters/properties/relevant_tables");
inline const Value::json_pointer kAllowed(
    "/0/function/parameters/properties/relevant_tables/items/properties/table_name/enum");

inline RelevantTablePicker stub_picker(const stubs::ChatStub& stub,
                                       std::shared_ptr<querygraph::CustomSQLDatabase> db) {
    return RelevantTablePicker(AzureOpenAIChat35{stub.azure_endpoint(), "picker-key", "2024-02-01", "gpt35"},
                               std::move(db));
}

}  // namespace veltaai::function_calling
