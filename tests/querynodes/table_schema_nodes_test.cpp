// Table listing, relevant-table choice, schema reading and question rewriting against the
// chat stub and the real Chinook SQLite file.
#include "node_fixture.h"
#include "veltaai/querygraph/querygraph_prompts.h"
#include "veltaai/querygraph/querynodes.h"

namespace veltaai::querygraph {
namespace {

using testing::NodeTest;
using testing::structured;

bool holds(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class TableNodes : public NodeTest {};

TEST_F(TableNodes, LookupStoresTheNamesAsOneText) {
    Value record = Value::object();
    graph::StateView state(record);
    const Value update = TableNamesLookup(chinook()).invoke(state);
    EXPECT_EQ(update, Value({{"table_names_from_db",
                              "Album, Artist, Customer, Employee, Genre, Invoice, InvoiceLine, MediaType, Playlist, "
                              "PlaylistTrack, Track"}}));
}

TEST_F(TableNodes, RelevantTablesPromptPrefersTheRewriteAndKeepsTheTailBraces) {
    stub.add_reply(structured({{"relevant_tables", {"Track", "NoSuchTable"}}}));
    stub.add_reply(structured({{"relevant_tables", Value::array()}}));
    RelevantTableNames node(chinook(), model());

    Value record = {{"user_question", "Which genre sells most?"},
                    {"rewritten_question", ""},
                    {"table_names_from_db", {"Genre", "Track"}}};
    graph::StateView state(record);
    // The model's list comes back as it is, unchecked against the database.
    EXPECT_EQ(node.invoke(state), Value({{"relevant_tables", {"Track", "NoSuchTable"}}}));

    const auto first = stub.requests().at(0).body;
    ASSERT_EQ(first["messages"].size(), 2u);
    EXPECT_EQ(first["messages"][0]["role"], "system");
    EXPECT_TRUE(holds(first["messages"][0]["content"], "<Dialect>sqlite</Dialect>"));
    const std::string human = first["messages"][1]["content"];
    EXPECT_TRUE(holds(human, "<user_question>Which genre sells most?</user_question>"));
    EXPECT_TRUE(holds(human, "<table_names>Genre,Track</table_names>"));
    EXPECT_TRUE(human.ends_with(TAIL_GET_RELEVANT_TABLE_NAMES_TEMPLATE)) << human;
    EXPECT_TRUE(holds(human, R"({"relevant_tables": ["TABLE_NAME_1", "TABLE_NAME_2"]})"));
    const Value& function = first["tools"][0]["function"];
    EXPECT_EQ(function["name"], "RelevantTablesOutput");
    EXPECT_EQ(function["parameters"]["properties"]["relevant_tables"]["description"], "List of relevant table names");

    // A rewritten question replaces the user's; a text table list is used with its blanks.
    record["rewritten_question"] = "Top genre by invoice total";
    record["table_names_from_db"] = "Genre, Track";
    const llm::ChatMessages prompt = node.generate_prompt(state);
    EXPECT_TRUE(holds(prompt[1].content, "<user_question>Top genre by invoice total</user_question>"));
    EXPECT_FALSE(holds(prompt[1].content, "Which genre sells most?"));
    EXPECT_TRUE(holds(prompt[1].content, "<table_names>Genre, Track</table_names>"));
    EXPECT_EQ(node.invoke(state), Value({{"relevant_tables", Value::array()}}));
}

TEST_F(TableNodes, RelevantTablesNeedsEveryKeyItReads) {
    RelevantTableNames node(chinook(), model());
    Value record = {{"user_question", "q"}, {"table_names_from_db", "Album"}};
    graph::StateView state(record);
    EXPECT_THROW(node.invoke(state), KeyError);
    EXPECT_EQ(stub.request_count(), 0u);
}

class SchemaNodes : public NodeTest {};

TEST_F(SchemaNodes, SchemasOfTheChosenTablesAndAFreshGenerationMode) {
    auto db = chinook();
    RelevantSchemas node(db);
    Value record = {{"relevant_tables", {"Album", "Genre"}}, {"sql_generation_prompt_type", "correction"}};
    graph::StateView state(record);
    const Value update = node.invoke(state);
    EXPECT_EQ(update["sql_generation_prompt_type"], "generation");
    const std::string schemas = update["schemas_from_relevant_tables"];
    EXPECT_EQ(schemas, InfoSQLDatabaseTool(db).run("Album,Genre"));
    EXPECT_TRUE(holds(schemas, "CREATE TABLE Album (") && holds(schemas, "CREATE TABLE Genre (")) << schemas;
    EXPECT_FALSE(holds(schemas, "CREATE TABLE Track"));

    record["relevant_tables"] = Value::array();
    EXPECT_EQ(node.invoke(state), Value({{"sql_generation_prompt_type", "generation"}, {"schemas_from_relevant_tables", ""}}));
}

TEST_F(SchemaNodes, RewriteIsBuiltFromTheUsersQuestionAndEveryTable) {
    stub.add_reply(structured({{"rewritten_question", "<rewritten>List albums by artist</rewritten>"}}));
    auto db = chinook();
    RewriteQuery node(db, model());
    Value record = {{"user_question", "albums per artist?"},
                    {"rewritten_question", "an earlier rewrite"},
                    {"table_names_from_db", "Album, Artist"}};
    graph::StateView state(record);
    // Stored as the model gave it, tags included.
    EXPECT_EQ(node.invoke(state), Value({{"rewritten_question", "<rewritten>List albums by artist</rewritten>"}}));

    const Value messages = sent_messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0]["role"], "system");
    const std::string text = messages[0]["content"];
    EXPECT_TRUE(holds(text, "albums per artist?"));
    EXPECT_FALSE(holds(text, "an earlier rewrite"));
    EXPECT_TRUE(holds(text, InfoSQLDatabaseTool(db).run("Album, Artist"))) << text;
}

TEST_F(SchemaNodes, AReplyThatDoesNotFitTheRecordPassesOut) {
    stub.add_reply(structured({{"question", "wrong field"}}));
    RewriteQuery node(chinook(), model());
    Value record = {{"user_question", "q"}, {"table_names_from_db", "Genre"}};
    graph::StateView state(record);
    EXPECT_THROW(node.invoke(state), ModelServiceError);
}

}  // namespace
}  // namespace veltaai::querygraph
