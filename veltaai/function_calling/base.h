#pragma once
// The relevant-table picker: asks the chat model which tables a question needs by forcing it
// to call one function tool, select_relevant_tables. The tool's definition lives in a catalogue
// file (prompt/relevant_table.yaml); before each call the picker writes the database's table
// names into the tool's allowed values and the tables' schemas into its description.
//
// Where the catalogue is found, first match wins:
//   1. $VELTAAI_DATA_DIR/function_calling/prompt/relevant_table.yaml, when the variable is set
//      (it names the package's data directory, e.g. the source tree's veltaai/);
//   2. <directory of libveltaai_base.so>/veltaai/function_calling/prompt/relevant_table.yaml,
//      where the build copies it;
//   3. the source tree's veltaai/function_calling/prompt/relevant_table.yaml.
// When none exists the library-relative path is returned, so the error names where the file
// was expected.

#include "veltaai/core/value.h"
#include "veltaai/graph/state_view.h"
#include "veltaai/llm/azure_openai.h"
#include "veltaai/querygraph/custom_sql.h"
#include "veltaai/querygraph/querygraph_options.h"
#include "veltaai/settings.h"

#include <memory>
#include <string>
#include <vector>

namespace veltaai::function_calling {

// The absolute path of the tool catalogue file, resolved as described above.
std::string get_relevant_tables_path();

// get_relevant_tables_path() as it was when the library loaded.
extern const std::string RELEVANT_TABLES_PATH;

// Reads one YAML document with standard types only: null, booleans, integers, numbers, texts,
// lists and mappings (keys become texts). Dates stay texts. Application tags, several
// documents and malformed YAML are a ValueError; a file that cannot be read is an Error.
Value load_yaml(const std::string& file_path);

// A one-element list holding the catalogue's tool, read afresh on every call.
Value get_tool_revant_tables();

class RelevantTablePicker {
public:
    // The function-calling client takes every field of config; its time limit, reply budget and
    // sampling come from options (240 s, 800 tokens, temperature 0, top_p 0.95 by default).
    RelevantTablePicker(const AzureOpenAIChat35& config, std::shared_ptr<querygraph::CustomSQLDatabase> db,
                        const querygraph::QueryGraphOptions& options = {});

    // The tool list for one request: the catalogue's tool with table_names_from_db as the
    // allowed table names and, appended to the parameter's description, the names and the
    // schemas of all those tables. When the request would then exceed the database options'
    // picker budget, the tool holds instead the tables most related to question (see
    // CustomSQLDatabase::ranked_table_names) as many as fit, in ever shorter forms, and its
    // description opens with how many tables the database has and that only these are shown.
    Value get_tools(const std::vector<std::string>& table_names_from_db, const std::string& question = "");

    // "relevant_table_names_node": reads user_question (absent: "") and table_names_from_db
    // (names joined by ", "; required), forces the tool call and returns its parsed arguments,
    // {"relevant_tables": [...]}. A reply without a tool call, or arguments that are not a JSON
    // record, is a ModelServiceError.
    Value invoke(graph::StateView& state);

    const llm::AzureOpenAI& client() const { return client_; }
    const std::string& model_name() const { return model_name_; }
    const querygraph::InfoSQLDatabaseTool& schema_info_tool() const { return schema_info_tool_; }

private:
    llm::AzureOpenAI client_;
    std::string model_name_;
    long max_tokens_;
    double temperature_;
    double top_p_;
    querygraph::InfoSQLDatabaseTool schema_info_tool_;
};

}  // namespace veltaai::function_calling
