// The prompts that carry schemas on a database too large to show whole: Chinook plus a
// thousand distractor tables through the real picker, rewrite and SQL nodes against the chat
// stub, and on Chinook alone the very requests the nodes sent before budgets existed.
#include "stubs/chat_stub.h"
#include "tests/custom_sql/large_schema.h"
#include "veltaai/function_calling/base.h"
#include "veltaai/llm/chat_openai.h"
#include "veltaai/querygraph/querynodes.h"
#include "veltaai/querygraph/schema_budget.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace veltaai::function_calling {
namespace {

namespace fs = std::filesystem;

const Value::json_pointer kParameter("/0/function/parameters/properties/relevant_tables");
const Value::json_pointer kAllowed("/0/function/parameters/properties/relevant_tables/items/properties/table_name/enum");

// The requests Chinook's prompts gave before budgets: the picker's, the rewrite's and the SQL
// generation's bodies for one question.
fs::path golden_requests() {
    const char* source = std::getenv("VELTAAI_SOURCE_DIR");
    return fs::path(source ? source : ".") / "tests" / "fixtures" / "chinook_prompt_requests.json";
}

Value call_of(const char* name, Value arguments) {
    return {{"tool_call", {{"name", name}, {"arguments", std::move(arguments)}}}};
}

class PromptRequests : public ::testing::Test {
protected:
    std::shared_ptr<llm::ChatModel> model() {
        llm::ChatOpenAIOptions options;
        options.openai_api_key = "sk-budget-test";
        options.base_url = stub.openai_base_url();
        options.settings.retry.max_retries = 0;
        return std::make_shared<llm::ChatOpenAI>(std::move(options));
    }
    RelevantTablePicker picker(std::shared_ptr<querygraph::CustomSQLDatabase> db) {
        return RelevantTablePicker(AzureOpenAIChat35{stub.azure_endpoint(), "picker-key", "2024-02-01", "gpt35"},
                                   std::move(db));
    }

    // The three requests of one question: picker, rewrite, SQL generation (from the schemas of
    // the tables the picker chose).
    std::vector<stubs::RecordedRequest> ask(const std::shared_ptr<querygraph::CustomSQLDatabase>& db,
                                     const std::string& question, const Value& chosen) {
        stub.clear_requests();
        stub.add_reply(call_of("select_relevant_tables", {{"relevant_tables", chosen}}));
        stub.add_reply({{"structured", {{"rewritten_question", question}}}});
        stub.add_reply({{"structured", {{"sql_query", "SELECT 1"}}}});
        std::string listed;
        for (const std::string& name : db->get_usable_table_names()) listed += (listed.empty() ? "" : ", ") + name;
        Value record = {{"user_question", question}, {"table_names_from_db", listed}, {"rewritten_question", ""}};
        graph::StateView state(record);
        RelevantTablePicker tables = picker(db);
        const Value picked = tables.invoke(state);
        record["relevant_tables"] = picked.at("relevant_tables");
        querygraph::RewriteQuery(db, model()).invoke(state);
        const Value schemas = querygraph::RelevantSchemas(db).invoke(state);
        for (const auto& [key, value] : schemas.items()) record[key] = value;
        querygraph::SQLGeneration(db, model()).invoke(state);
        return stub.requests();
    }

    stubs::ChatStub stub;
};

TEST_F(PromptRequests, ChinookRequestsAreThoseOfAnUnbudgetedPrompt) {
    auto db = querygraph::CustomSQLDatabase::from_uri("sqlite:///" + testing::chinook_sqlite());
    const auto requests = ask(db, "Which five artists have the most tracks?", {"Artist", "Album", "Track"});
    ASSERT_EQ(requests.size(), 3u);
    Value bodies = Value::array();
    for (const stubs::RecordedRequest& request : requests) bodies.push_back(request.body_text);
    if (std::getenv("VELTAAI_WRITE_GOLDEN")) {
        std::ofstream(golden_requests()) << bodies.dump(2) << "\n";
        GTEST_SKIP() << "wrote " << golden_requests();
    }
    std::ifstream file(golden_requests());
    ASSERT_TRUE(file) << golden_requests();
    std::stringstream text;
    text << file.rdbuf();
    const Value golden = Value::parse(text.str());
    ASSERT_EQ(golden.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(bodies[i], golden[i]) << "request " << i;
}

}  // namespace
}  // namespace veltaai::function_calling
