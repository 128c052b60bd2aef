// The answer and analysis-code prompts the model sees, and what the nodes hand back.
#include "node_fixture.h"
#include "veltaai/querygraph/querygraph_prompts.h"
#include "veltaai/querygraph/querynodes.h"

namespace veltaai::querygraph {
namespace {

using testing::NodeTest;
using testing::structured;

bool holds(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class ResponseNode : public NodeTest {};

TEST_F(ResponseNode, PromptShowsEveryQueryTheNewestResultAndTheAnalysis) {
    stub.add_reply(structured({{"image_path", "/media/q1/plot.png"}, {"final_response", "Rock leads."}}));
    GenerateResponse node(model());
    Value record = {{"user_question", "Which genre leads?"},
                    {"generated_sql_query", {"SELECT broken", "SELECT Name\nFROM Genre WHERE Name = 'Rock'"}},
                    {"sql_execution_result", {"no such column: broken", "[('Rock',)]"}},
                    {"pandas_code", "print('Rock')"},
                    {"python_executed_output", "Rock\n"}};
    graph::StateView state(record);
    EXPECT_EQ(node.invoke(state), Value({{"final_response", "Rock leads."}, {"image_path", "/media/q1/plot.png"}}));

    const Value messages = sent_messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0]["role"], "user");
    EXPECT_EQ(messages[0]["content"],
              "User question: Which genre leads?\n"
              "SQL query: ['SELECT broken', \"SELECT Name\\nFROM Genre WHERE Name = 'Rock'\"]\n"
              "SQL query result: [('Rock',)]\n"
              "Python code: print('Rock')\n"
              "Python executed result: Rock\n\n"
              "Use the above result to address user's question.");
    const Value fields = stub.requests().at(0).body["tools"][0]["function"]["parameters"]["properties"];
    ASSERT_EQ(fields.size(), 2u);
    EXPECT_EQ(fields.begin().key(), "image_path");
    EXPECT_EQ(fields["image_path"]["description"], "image path generated if exists in context");
    EXPECT_EQ(fields["final_response"]["description"], "final response");
}

TEST_F(ResponseNode, TerminalSqlFailureStillReachesTheModel) {
    stub.add_reply(structured({{"image_path", ""}, {"final_response", "I could not answer."}}));
    GenerateResponse node(model());
    Value record = {{"user_question", "q"},
                    {"generated_sql_query", {"SELECT 1"}},
                    {"sql_execution_result", {"SQL generation failed after max iterations"}}};
    graph::StateView state(record);
    Value update;
    const std::string logged = testing::logged_at_info([&] { update = node.invoke(state); });
    EXPECT_EQ(update, Value({{"final_response", "I could not answer."}, {"image_path", ""}}));
    EXPECT_TRUE(holds(sent_messages()[0]["content"], "SQL query result: SQL generation failed after max iterations\n"
                                                     "Python code: \nPython executed result: \nUse the above"));
    EXPECT_TRUE(holds(logged, "Enter generate response"));
    EXPECT_TRUE(holds(logged, "Finish generating response, took ")) << logged;
}

class PandasNodes : public NodeTest {};

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

TEST_F(PandasNodes, GenerationPairsQueriesWithResultsAndPrefersTheRewrite) {
    stub.add_reply(structured({{"code", "print(1)"}}));
    PandasGenerator node(model());
    Value record = analysis_state();
    graph::StateView state(record);
    EXPECT_EQ(node.invoke(state), Value({{"pandas_code", "print(1)"}}));

    const Value messages = sent_messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0]["role"], "system");
    EXPECT_TRUE(holds(messages[0]["content"], "save it in /media/run-7 - matplotlib"));
    const std::string human = messages[1]["content"];
    EXPECT_TRUE(holds(human, "<original_question>Tracks per genre?</original_question>"));
    EXPECT_TRUE(holds(human, "<query index=\"1\">\n            SELECT a\n")) << human;
    EXPECT_TRUE(holds(human, "<execution_result index=\"1\">\n            [(1,)]\n")) << human;
    EXPECT_FALSE(holds(human, "index=\"2\""));
    EXPECT_FALSE(holds(human, "SELECT b"));

    record["rewritten_question"] = "Count tracks grouped by genre";
    EXPECT_TRUE(holds(node.generate_prompt(state)[1].content,
                      "<original_question>Count tracks grouped by genre</original_question>"));
}

TEST_F(PandasNodes, CorrectionSendsOneRepairTextAndOtherModesFail) {
    stub.add_reply(structured({{"code", "import pandas as pd"}}));
    PandasGenerator node(model());
    Value record = analysis_state();
    record["pandas_generation_prompt_type"] = "correction";
    graph::StateView state(record);
    EXPECT_EQ(node.invoke(state), Value({{"pandas_code", "import pandas as pd"}}));
    const Value messages = sent_messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0]["role"], "user");
    EXPECT_EQ(messages[0]["content"],
              "The user asked the following question:\n"
              "            Tracks per genre?\n\n"
              "            You generated this python code:\n"
              "            print(df)\n\n"
              "            It fails with the following error:\n"
              "            NameError: name 'df' is not defined\n\n"
              "            Fix the python code above and return the new python code:");

    record["pandas_generation_prompt_type"] = "repair";
    EXPECT_THROW(node.invoke(state), ValueError);
    stub.add_reply(structured({{"python", "print(2)"}}));
    record["pandas_generation_prompt_type"] = "generation";
    EXPECT_THROW(node.invoke(state), ModelServiceError);
}

TEST_F(PandasNodes, StandaloneCorrectionUsesTheRewriteAndStoredTexts) {
    stub.add_reply(structured({{"code", "fixed()"}}));
    PandasCorrection node(model());
    Value record = analysis_state();
    record["rewritten_question"] = "Count tracks grouped by genre";
    record["pandas_code"] = "x = {'a': 1}\nprint(x['b'])";
    record["python_error_message"] = "KeyError: 'b'";
    graph::StateView state(record);
    EXPECT_EQ(node.invoke(state), Value({{"pandas_code", "fixed()"}}));
    const std::string sent = sent_messages()[0]["content"];
    EXPECT_EQ(sent, node.generate_prompt(state));
    EXPECT_TRUE(holds(sent, "question:\n            Count tracks grouped by genre\n"));
    EXPECT_TRUE(holds(sent, "code:\n            x = {'a': 1}\nprint(x['b'])\n\n"));
    EXPECT_TRUE(holds(sent, "error:\n            KeyError: 'b'\n\n"));

    record.erase("python_error_message");
    EXPECT_THROW(node.generate_prompt(state), KeyError);
}

}  // namespace
}  // namespace veltaai::querygraph
