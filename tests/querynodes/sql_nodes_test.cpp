// SQL generation, review and execution against the chat stub and the real Chinook SQLite file.
#include "node_fixture.h"
#include "veltaai/querygraph/querynodes.h"

namespace veltaai::querygraph {
namespace {

using testing::NodeTest;
using testing::structured;

bool holds(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

Value correction_state(Value queries, Value results) {
    return {{"user_question", "Top 3 genres by tracks"},
            {"schemas_from_relevant_tables", "CREATE TABLE \"Genre\" (...)"},
            {"sql_generation_prompt_type", "correction"},
            {"generated_sql_query", std::move(queries)},
            {"sql_execution_result", std::move(results)}};
}

class SQLGenerationNode : public NodeTest {};

TEST_F(SQLGenerationNode, FreshQueryPromptHasDialectQuestionAndSchemasOnly) {
    stub.add_reply(structured({{"sql_query", "<sql_query>SELECT Name FROM Genre LIMIT 3</sql_query>"}}));
    SQLGeneration node(chinook(), model());
    Value record = {{"user_question", "Name three genres"},
                    {"schemas_from_relevant_tables", "CREATE TABLE \"Genre\" (...)"},
                    {"sql_generation_prompt_type", "generation"},
                    {"generated_sql_query", {"SELECT old_attempt"}},
                    {"sql_execution_result", {"no such column: old_attempt"}}};
    graph::StateView state(record);
    // The reply is kept whole: tags are not stripped here.
    EXPECT_EQ(node.invoke(state),
              Value({{"generated_sql_query", {"<sql_query>SELECT Name FROM Genre LIMIT 3</sql_query>"}}}));

    const auto request = stub.requests().at(0).body;
    const Value& messages = request["messages"];
    ASSERT_EQ(messages.size(), 2u);
    const std::string system = messages[0]["content"];
    EXPECT_TRUE(system.starts_with("You are an agent designed to interact with a SQL database.\n"));
    EXPECT_TRUE(holds(system, "create a syntactically correct sqlite query to run"));
    EXPECT_TRUE(system.ends_with("just return \"I don't know\" as the answer."));
    EXPECT_EQ(messages[1]["role"], "user");
    EXPECT_EQ(messages[1]["content"], "Name three genres\n Schemas_from_relevant_tables: CREATE TABLE \"Genre\" (...)");
    EXPECT_FALSE(holds(request.dump(), "old_attempt"));
    EXPECT_EQ(request["tools"][0]["function"]["parameters"]["properties"]["sql_query"]["description"],
              "SQL query string to be executed");
}

TEST_F(SQLGenerationNode, CorrectionPairsEveryQueryWithItsResultInOrder) {
    SQLGeneration node(chinook(), model());
    Value record = correction_state({"SELECT a", "SELECT b", "SELECT c"}, {"error a", "None", "error c"});
    graph::StateView state(record);
    const llm::ChatMessages messages = node.generate_messages(state);
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_TRUE(holds(messages[0].content, "<Dialect>sqlite</Dialect>"));
    const std::string& human = messages[1].content;
    EXPECT_TRUE(holds(human, "<user_question>Top 3 genres by tracks</user_question>"));
    std::size_t at = 0;
    for (const auto& [index, query, error] : {std::tuple{"1", "SELECT a", "error a"}, std::tuple{"2", "SELECT b", "None"},
                                              std::tuple{"3", "SELECT c", "error c"}}) {
        const std::string pair = std::string("<query index=\"") + index + "\">\n          " + query +
                                 "\n        </query>\n        <error index=\"" + index + "\">\n          " + error;
        const std::size_t found = human.find(pair, at);
        ASSERT_NE(found, std::string::npos) << "pair " << index << " in\n" << human;
        at = found;
    }

    // One result short: the unpaired newest query is left out.
    record = correction_state({"SELECT a", "SELECT b", "SELECT c"}, {"error a", "error b"});
    const std::string shorter = node.generate_messages(state)[1].content;
    EXPECT_TRUE(holds(shorter, "<query index=\"2\">"));
    EXPECT_FALSE(holds(shorter, "index=\"3\""));
    EXPECT_FALSE(holds(shorter, "SELECT c"));
}

TEST_F(SQLGenerationNode, UnknownModeAndUnfitReplyLeaveTheStateAlone) {
    SQLGeneration node(chinook(), model());
    Value record = correction_state({"SELECT 1"}, {"None"});
    graph::StateView state(record);
    for (const Value& mode : {Value(""), Value("generate"), Value(nullptr)}) {
        record["sql_generation_prompt_type"] = mode;
        try {
            node.invoke(state);
            ADD_FAILURE() << "no error for mode " << mode.dump();
        } catch (const ValueError& error) {
            EXPECT_STREQ(error.what(), "Messages not generated correctly.");
        }
    }
    EXPECT_EQ(stub.request_count(), 0u);

    stub.add_reply(structured({{"query", "SELECT 2"}}));
    record["sql_generation_prompt_type"] = "correction";
    EXPECT_THROW(node.invoke(state), ModelServiceError);
    EXPECT_EQ(record["generated_sql_query"], Value({"SELECT 1"}));
}

TEST_F(SQLGenerationNode, LogsHowLongTheCallTook) {
    stub.add_reply(structured({{"sql_query", "SELECT 1"}}));
    SQLGeneration node(chinook(), model());
    Value record = {{"user_question", "q"}, {"schemas_from_relevant_tables", "s"}, {"sql_generation_prompt_type", "generation"}};
    graph::StateView state(record);
    const std::string logged = testing::logged_at_info([&] { node.invoke(state); });
    const std::size_t at = logged.find("Invoke generate sql query tooks: ");
    ASSERT_NE(at, std::string::npos) << logged;
    const std::string seconds = logged.substr(at + 34, logged.find('\n', at) - at - 34);
    EXPECT_GE(std::stod(seconds), 0.0);
    EXPECT_LT(std::stod(seconds), 30.0);
}

class SQLCheckAndRun : public NodeTest {};

TEST_F(SQLCheckAndRun, CheckerReplacesTheNewestQueryInTheStatesOwnList) {
    stub.add_reply({{"content", "```sql\nSELECT Name FROM Genre LIMIT 5;\n```"}});
    stub.add_reply({{"status", 500}, {"error", "overloaded"}});
    SQLSyntaxChecker node(chinook(), model());
    Value record = {{"generated_sql_query", {"SELECT broken", "SELECT Name FROM Genre LIMIT 5"}}};
    graph::StateView state(record);
    EXPECT_EQ(node.invoke(state), Value::object());
    EXPECT_EQ(record["generated_sql_query"], Value({"SELECT broken", "SELECT Name FROM Genre LIMIT 5;"}));
    EXPECT_TRUE(holds(sent_messages()[0]["content"], "SELECT Name FROM Genre LIMIT 5"));

    // A failed review leaves the query as it was.
    EXPECT_THROW(node.invoke(state), ModelServiceError);
    EXPECT_EQ(record["generated_sql_query"], Value({"SELECT broken", "SELECT Name FROM Genre LIMIT 5;"}));

    record["generated_sql_query"] = Value::array();
    EXPECT_THROW(node.invoke(state), IndexError);
}

TEST_F(SQLCheckAndRun, ExecutionRecordsRowsNoRowsAndRejectedQueries) {
    SQLExecution node(chinook());
    Value record = {{"generated_sql_query", {"SELECT broken", "SELECT GenreId, Name FROM Genre ORDER BY GenreId LIMIT 2"}}};
    graph::StateView state(record);
    EXPECT_EQ(node.invoke(state), Value({{"sql_execution_result", {"[(1, 'Rock'), (2, 'Jazz')]"}},
                                         {"execution_success", true},
                                         {"pandas_generation_prompt_type", "generation"}}));

    record["generated_sql_query"] = {"SELECT Name FROM Genre WHERE GenreId < 0"};
    EXPECT_EQ(node.invoke(state), Value({{"sql_execution_result", {"None"}}, {"execution_success", false}}));

    record["generated_sql_query"] = {"SELECT Nme FROM Genre"};
    Value rejected = node.invoke(state);
    EXPECT_EQ(rejected["execution_success"], false);
    EXPECT_FALSE(rejected.contains("pandas_generation_prompt_type"));
    EXPECT_TRUE(holds(rejected["sql_execution_result"].at(0), "no such column: Nme")) << rejected.dump();

    // The read-only guard's refusal is a database error like any other.
    record["generated_sql_query"] = {"DELETE FROM Genre"};
    EXPECT_EQ(node.invoke(state)["execution_success"], false);
    EXPECT_EQ(CustomSQLDatabase::from_uri("sqlite:///" + veltaai::testing::chinook_sqlite())->run("SELECT COUNT(*) FROM Genre"),
              "[(25,)]");

    record["generated_sql_query"] = Value::array();
    EXPECT_THROW(node.invoke(state), IndexError);
}

}  // namespace
}  // namespace veltaai::querygraph
