// The nodes against the chat stub (real HTTP) and the read-only Chinook file: the prompts
// the model receives, the updates the nodes return, and the failures they pass on.
#include "veltaai/querygraph/querynodes.h"
#include "stubs/stub_models.h"
#include "tests/sql/test_servers.h"
#include "veltaai/core/log.h"
#include "veltaai/querygraph/querygraph_prompts.h"

#include <gtest/gtest.h>

#include <regex>

namespace veltaai::querygraph {
namespace {

Value structured(Value record) {
    return {{"structured", std::move(record)}};
}
bool holds(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// What run writes to standard error with the log at info level (quieter by default).
template <class F>
std::string logged_at_info(F run) {
    const log::Level previous = log::level();
    log::set_level(log::Level::info);
    ::testing::internal::CaptureStderr();
    run();
    log::set_level(previous);
    return ::testing::internal::GetCapturedStderr();
}

class NodeTest : public ::testing::Test {
protected:
    std::shared_ptr<llm::ChatModel> model() { return stubs::openai_model(stub); }
    static std::shared_ptr<CustomSQLDatabase> chinook() {
        return CustomSQLDatabase::from_uri("sqlite:///" + testing::chinook_sqlite());
    }
    Value last_body() { return stub.requests().back().body; }

    stubs::ChatStub stub;
};

using TableAndSchemaNodes = NodeTest;
using SQLNodes = NodeTest;
using AnswerNodes = NodeTest;

TEST_F(TableAndSchemaNodes, LookupAndSchemasReadTheDatabase) {
    auto db = chinook();
    Value record = {{"relevant_tables", {"Album", "Genre"}}};
    graph::StateView state(record);
    EXPECT_EQ(TableNamesLookup(db).invoke(state)["table_names_from_db"],
              "Album, Artist, Customer, Employee, Genre, Invoice, InvoiceLine, MediaType, Playlist, "
              "PlaylistTrack, Track");

    RelevantSchemas schemas(db);
    const Value update = schemas.invoke(state);
    EXPECT_EQ(update["sql_generation_prompt_type"], "generation");
    const std::string text = update["schemas_from_relevant_tables"];
    EXPECT_TRUE(holds(text, "CREATE TABLE Album (") && holds(text, "CREATE TABLE Genre (") &&
                !holds(text, "Track ("))
        << text;
    // Nothing chosen: every table, as when none of the chosen names is in the database.
    record["relevant_tables"] = Value::array();
    const std::string every = schemas.invoke(state)["schemas_from_relevant_tables"];
    for (const char* table : {"Album", "Artist", "Genre", "Track", "PlaylistTrack"})
        EXPECT_TRUE(holds(every, std::string("CREATE TABLE ") + table + " (")) << table;
}

TEST_F(TableAndSchemaNodes, ChosenNamesAreMatchedToTheDatabasesOwn) {
    auto db = chinook();
    RelevantSchemas schemas(db);
    const auto table_heads = [](const std::string& text) {
        std::vector<std::string> heads;
        static const std::regex head("CREATE TABLE ([^ (]+) \\(");
        for (auto it = std::sregex_iterator(text.begin(), text.end(), head); it != std::sregex_iterator();
             ++it)
            heads.push_back((*it)[1]);
        return heads;
    };
    const auto chosen = [&](Value names, std::string* log = nullptr) {
        Value record = {{"relevant_tables", std::move(names)}};
        graph::StateView state(record);
        Value update;
        ::testing::internal::CaptureStderr();
        update = schemas.invoke(state);
        const std::string logged = ::testing::internal::GetCapturedStderr();
        if (log) *log = logged;
        EXPECT_EQ(update["sql_generation_prompt_type"], "generation");
        return table_heads(update["schemas_from_relevant_tables"].get<std::string>());
    };
    using Names = std::vector<std::string>;
    EXPECT_EQ(chosen({"Genre", "Album"}), (Names{"Genre", "Album"}));  // exact names as before
    EXPECT_EQ(chosen({"genre"}), Names{"Genre"});
    EXPECT_EQ(chosen({"\"Genre\"", "main.Track", "`playlisttrack`", "[MediaType]", " Artist "}),
              (Names{"Genre", "Track", "PlaylistTrack", "MediaType", "Artist"}));
    EXPECT_EQ(chosen({"GENRE", "Genre", "genre"}), Names{"Genre"});  // one table, once

    std::string log;
    EXPECT_EQ(chosen({"Genre", "Genres", "Nosuch"}, &log), Names{"Genre"});
    EXPECT_TRUE(holds(log, "no table named 'Genres', 'Nosuch'")) << log;
    const Names every = chosen({"Nosuch"}, &log);
    EXPECT_EQ(every.size(), db->get_usable_table_names().size());
    EXPECT_TRUE(holds(log, "using every table")) << log;
    EXPECT_THROW(chosen({1}), TypeError);
}

TEST_F(TableAndSchemaNodes, ChosenNamesFindPostgresTablesWhateverTheirCase) {
    const auto servers = testing::server_env();
    ASSERT_TRUE(servers) << testing::kStartServers;
    const auto& pg = servers->postgres;
    auto db = CustomSQLDatabase::from_uri("postgresql://" + pg.user + ":" + pg.password + "@" + pg.host +
                                          ":" + std::to_string(pg.port) + "/veltaai_fixtures");
    RelevantSchemas schemas(db);
    EXPECT_EQ(schemas.matched_tables(
                  {"Customers", "public.orders", "\"public\".\"Odd Name\"", "odd NAME", "select"}),
              (std::vector<std::string>{"customers", "orders", "Odd Name", "select"}));
    Value record = {{"relevant_tables", {"CUSTOMERS", "missing_table"}}};
    graph::StateView state(record);
    ::testing::internal::CaptureStderr();
    const std::string text = schemas.invoke(state)["schemas_from_relevant_tables"];
    ::testing::internal::GetCapturedStderr();
    EXPECT_TRUE(holds(text, "CREATE TABLE customers (")) << text;
    EXPECT_FALSE(holds(text, "orders")) << text;
}

TEST_F(TableAndSchemaNodes, RelevantTablesPromptJoinsTheNamesAndKeepsTheTailBraces) {
    stub.add_reply(structured({{"relevant_tables", {"Track", "NoSuchTable"}}}));
    RelevantTableNames node(chinook(), model());
    Value record = {{"user_question", "Which genre sells most?"},
                    {"rewritten_question", ""},
                    {"table_names_from_db", {"Genre", "Track"}}};
    graph::StateView state(record);
    // The model's list comes back unchecked against the database.
    EXPECT_EQ(node.invoke(state), Value({{"relevant_tables", {"Track", "NoSuchTable"}}}));
    const Value body = last_body();
    const std::string human = body["messages"][1]["content"];
    EXPECT_TRUE(holds(human,
                      "<user_question>Which genre sells most?</user_question>\n    "
                      "<table_names>Genre,Track</table_names>"));
    EXPECT_TRUE(human.ends_with(TAIL_GET_RELEVANT_TABLE_NAMES_TEMPLATE)) << human;
}

TEST_F(SQLNodes, FreshPromptCarriesDialectQuestionAndSchemasButNoEarlierAttempts) {
    stub.add_reply(structured({{"sql_query", "<sql_query>SELECT Name FROM Genre</sql_query>"}}));
    SQLGeneration node(chinook(), model());
    Value record = {{"user_question", "Name three genres"},
                    {"schemas_from_relevant_tables", "CREATE TABLE Genre (...)"},
                    {"sql_generation_prompt_type", "generation"},
                    {"generated_sql_query", {"SELECT old_attempt"}},
                    {"sql_execution_result", {"no such column: old_attempt"}}};
    graph::StateView state(record);
    Value update;
    const std::string logged = logged_at_info([&] { update = node.invoke(state); });
    EXPECT_EQ(update, Value({{"generated_sql_query", {"<sql_query>SELECT Name FROM Genre</sql_query>"}}}));
    EXPECT_TRUE(std::regex_search(logged, std::regex("Invoke generate sql query tooks: [0-9.e-]+\n")))
        << logged;

    const Value body = last_body();
    EXPECT_TRUE(holds(body["messages"][0]["content"], "create a syntactically correct sqlite query to run"));
    EXPECT_EQ(body["messages"][1]["content"],
              "Name three genres\n Schemas_from_relevant_tables: CREATE TABLE Genre (...)");
    EXPECT_FALSE(holds(body.dump(), "old_attempt"));
}

TEST_F(SQLNodes, CorrectionPairsQueriesWithResultsAndRefusesUnknownModes) {
    SQLGeneration node(chinook(), model());
    Value record = {{"user_question", "q"},
                    {"schemas_from_relevant_tables", "s"},
                    {"sql_generation_prompt_type", "correction"},
                    {"generated_sql_query", {"SELECT a", "SELECT b", "SELECT c"}},
                    {"sql_execution_result", {"error a", "None", "error c"}}};
    graph::StateView state(record);
    std::string human = node.generate_messages(state).at(1).content;
    EXPECT_TRUE(holds(human,
                      "<query index=\"3\">\n          SELECT c\n        </query>\n"
                      "        <error index=\"3\">\n          error c\n"))
        << human;
    EXPECT_TRUE(human.find("error a") < human.find("index=\"2\">\n          SELECT b") &&
                holds(human, "\n          None\n"));
    record["sql_execution_result"] = {"error a", "error b"};
    human = node.generate_messages(state).at(1).content;
    EXPECT_TRUE(holds(human, "<query index=\"2\">") && !holds(human, "SELECT c"));

    record["sql_generation_prompt_type"] = "";
    try {
        node.invoke(state);
        ADD_FAILURE() << "an empty mode was accepted";
    } catch (const ValueError& error) {
        EXPECT_STREQ(error.what(), "Messages not generated correctly.");
    }
    EXPECT_EQ(stub.request_count(), 0u);
}

TEST_F(SQLNodes, CheckerRewritesTheNewestQueryInTheStatesOwnList) {
    stub.add_reply({{"content", "```sql\nSELECT Name FROM Genre LIMIT 5;\n```"}});
    stub.add_reply({{"status", 500}, {"error", "overloaded"}});
    SQLSyntaxChecker node(chinook(), model());
    Value record = {{"generated_sql_query", {"SELECT broken", "SELECT Name FROM Genre LIMIT 5"}}};
    graph::StateView state(record);
    EXPECT_EQ(node.invoke(state), Value::object());
    EXPECT_EQ(record["generated_sql_query"], Value({"SELECT broken", "SELECT Name FROM Genre LIMIT 5;"}));
    EXPECT_THROW(node.invoke(state), ModelServiceError);  // a failed review leaves the query alone
    EXPECT_EQ(record["generated_sql_query"], Value({"SELECT broken", "SELECT Name FROM Genre LIMIT 5;"}));
}

TEST_F(SQLNodes, ExecutionRecordsRowsNoRowsAndRejectedQueries) {
    SQLExecution node(chinook());
    Value record = {{"generated_sql_query",
                     {"SELECT broken", "SELECT GenreId, Name FROM Genre ORDER BY GenreId LIMIT 2"}}};
    graph::StateView state(record);
    EXPECT_EQ(node.invoke(state), Value({{"sql_execution_result", {"[(1, 'Rock'), (2, 'Jazz')]"}},
                                         {"execution_success", true},
                                         {"pandas_generation_prompt_type", "generation"}}));
    record["generated_sql_query"] = {"SELECT Name FROM Genre WHERE GenreId < 0"};
    EXPECT_EQ(node.invoke(state), Value({{"sql_execution_result", {"None"}}, {"execution_success", false}}));
    record["generated_sql_query"] = {"SELECT Nme FROM Genre"};
    const Value rejected = node.invoke(state);
    EXPECT_EQ(rejected["execution_success"], false);
    EXPECT_TRUE(holds(rejected["sql_execution_result"].at(0), "no such column: Nme")) << rejected;
    // The database's error is kept apart as well; a query without rows is no database error.
    EXPECT_EQ(rejected["execution_error"], rejected["sql_execution_result"]) << rejected;
    EXPECT_EQ(rejected.size(), 3u) << rejected;
}

TEST_F(AnswerNodes, ResponsePromptShowsEveryQueryTheNewestResultAndTheAnalysis) {
    stub.add_reply(structured({{"image_path", "/media/q1/plot.png"}, {"final_response", "Rock leads."}}));
    stub.add_reply(structured({{"image_path", ""}, {"final_response", "I could not answer."}}));
    GenerateResponse node(model());
    Value record = {{"user_question", "Which genre leads?"},
                    {"generated_sql_query", {"SELECT broken", "SELECT Name\nFROM Genre WHERE Name = 'Rock'"}},
                    {"sql_execution_result", {"no such column: broken", "[('Rock',)]"}},
                    {"pandas_code", "print('Rock')"},
                    {"python_executed_output", "Rock\n"}};
    graph::StateView state(record);
    EXPECT_EQ(node.invoke(state),
              Value({{"final_response", "Rock leads."}, {"image_path", "/media/q1/plot.png"}}));
    const Value messages = last_body()["messages"];
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0]["content"],
              "User question: Which genre leads?\n"
              "SQL query: ['SELECT broken', \"SELECT Name\\nFROM Genre WHERE Name = 'Rock'\"]\n"
              "SQL query result: [('Rock',)]\nPython code: print('Rock')\nPython executed result: Rock\n\n"
              "Use the above result to address user's question.");

    // The terminal SQL route arrives without analysis keys; both still show, empty.
    record.erase("pandas_code");
    record.erase("python_executed_output");
    Value update;
    const std::string logged = logged_at_info([&] { update = node.invoke(state); });
    EXPECT_EQ(update, Value({{"final_response", "I could not answer."}, {"image_path", ""}}));
    EXPECT_TRUE(holds(last_body()["messages"][0]["content"],
                      "[('Rock',)]\nPython code: \nPython executed result: \nUse"));
    EXPECT_TRUE(holds(logged, "Enter generate response") &&
                holds(logged, "Finish generating response, took "))
        << logged;
}

Value analysis_state() {
    return {{"user_question", "Tracks per genre?"},
            {"rewritten_question", ""},
            {"pandas_generation_prompt_type", "generation"},
            {"generated_sql_query", {"SELECT a", "SELECT b", "SELECT c"}},
            {"sql_execution_result", {"[(1,)]"}},
            {"save_path", "/media/run-7"},
            {"pandas_code", "print(df)"},
            {"python_error_message", "NameError: name 'df' is not defined"}};
}

TEST_F(AnswerNodes, AnalysisPromptPairsQueriesWithResultsAndPrefersTheRewrite) {
    stub.add_reply(structured({{"code", "print(1)"}}));
    PandasGenerator node(model());
    Value record = analysis_state();
    graph::StateView state(record);
    EXPECT_EQ(node.invoke(state), Value({{"pandas_code", "print(1)"}}));
    const Value messages = last_body()["messages"];
    EXPECT_TRUE(holds(messages[0]["content"], "save it in /media/run-7 - matplotlib"));
    const std::string human = messages[1]["content"];
    EXPECT_TRUE(holds(human, "<original_question>Tracks per genre?</original_question>"));
    EXPECT_TRUE(holds(human, "<query index=\"1\">\n            SELECT a\n")) << human;
    EXPECT_TRUE(holds(human, "<execution_result index=\"1\">\n            [(1,)]\n")) << human;
    EXPECT_FALSE(holds(human, "SELECT b"));

    record["rewritten_question"] = "Count tracks grouped by genre";
    EXPECT_TRUE(holds(node.generate_prompt(state).at(1).content,
                      "<original_question>Count tracks grouped by genre<"));
    record["pandas_generation_prompt_type"] = "repair";
    EXPECT_THROW(node.invoke(state), ValueError);
}

TEST_F(AnswerNodes, RepairTextHoldsTheQuestionTheFailingCodeAndItsError) {
    stub.add_reply(structured({{"code", "import pandas as pd"}}));
    stub.add_reply(structured({{"python", "print(2)"}}));
    PandasGenerator generator(model());
    Value record = analysis_state();
    record["pandas_generation_prompt_type"] = "correction";
    graph::StateView state(record);
    EXPECT_EQ(generator.invoke(state), Value({{"pandas_code", "import pandas as pd"}}));
    const std::string expected =
        "The user asked the following question:\n            Tracks per genre?\n\n"
        "            You generated this python code:\n            print(df)\n\n"
        "            It fails with the following error:\n            NameError: name 'df' is not defined\n\n"
        "            Fix the python code above and return the new python code:";
    EXPECT_EQ(last_body()["messages"], Value::array({{{"role", "user"}, {"content", expected}}}));
    EXPECT_EQ(PandasCorrection(model()).generate_prompt(state), expected);
    EXPECT_THROW(PandasCorrection(model()).invoke(state), ModelServiceError);
}

}  // namespace
}  // namespace veltaai::querygraph
