// The answer document of a run: queries paired with their rows or errors, typed rows, cut
// results, absent parts as null, and failed runs.
#include "veltaai/answer_document.h"

#include "veltaai/core/errors.h"

#include <gtest/gtest.h>

namespace veltaai {
namespace {

TEST(AnswerDocument, PairsQueriesWithTypedRowsOrErrors) {
    AnswerRun run;
    run.question = "Top genres?";
    run.final_state = {
        {"user_question", "Top genres?"},
        {"generated_sql_query",
         {"SELECT nme FROM Genre", "SELECT Name, COUNT(*) FROM Genre", "SELECT Name FROM Genre LIMIT 2"}},
        {"execution_error", {"no such column: nme", "misuse of aggregate"}},
        {"sql_execution_result", {"[('Rock',), ('Jazz',)]"}},
        {"pandas_code", "print(1)"},
        {"python_executed_output", "1\n"},
        {"image_path", ""},
        {"final_response", "Rock and Jazz."},
    };
    run.tokens = 120;
    run.cost = 0.5;
    run.timings = {{"init_node", 0.25}, {"sql_execution_node", 1.5}};
    const Value document = answer_document(run);
    const Value expected = Value::parse(R"json({
        "question": "Top genres?", "answer": "Rock and Jazz.",
        "queries": [
          {"sql": "SELECT nme FROM Genre", "rows": null, "truncated": false, "error": "no such column: nme"},
          {"sql": "SELECT Name, COUNT(*) FROM Genre", "rows": null, "truncated": false, "error": "misuse of aggregate"},
          {"sql": "SELECT Name FROM Genre LIMIT 2", "rows": [["Rock"], ["Jazz"]], "truncated": false, "error": null}],
        "python_code": "print(1)", "python_output": "1\n", "image_path": null,
        "tokens": 120, "cost": 0.5,
        "timings": [{"node": "init_node", "seconds": 0.25}, {"node": "sql_execution_node", "seconds": 1.5}],
        "error": null})json");
    EXPECT_EQ(document, expected);
}

// As the execution node writes them: every query has a result, a failed one its error text.
TEST(AnswerDocument, ResultsOfFailedQueriesAreTheirErrors) {
    AnswerRun run;
    run.final_state = {
        {"generated_sql_query",
         {"SELECT nme FROM Genre", "SELECT Name FROM Genre WHERE 0", "SELECT Name FROM Genre LIMIT 1"}},
        {"execution_error", {"no such column: nme"}},
        {"sql_execution_result", {"no such column: nme", "None", "[('Rock',)]"}},
    };
    const Value expected = Value::parse(R"json([
        {"sql": "SELECT nme FROM Genre", "rows": null, "truncated": false, "error": "no such column: nme"},
        {"sql": "SELECT Name FROM Genre WHERE 0", "rows": [], "truncated": false, "error": null},
        {"sql": "SELECT Name FROM Genre LIMIT 1", "rows": [["Rock"]], "truncated": false, "error": null}])json");
    EXPECT_EQ(answer_document(run)["queries"], expected);
}

TEST(AnswerDocument, CutResultsEmptyResultsAndFailedRuns) {
    bool truncated = true;
    EXPECT_EQ(result_rows("", truncated), Value::array());
    EXPECT_FALSE(truncated);
    EXPECT_EQ(result_rows("[(1, Decimal('0.99'))]\n(result cut: showing the first 1 rows)", truncated),
              Value::parse("[[1, 0.99]]"));
    EXPECT_TRUE(truncated);
    EXPECT_THROW(result_rows("Error: nothing", truncated), ValueError);

    AnswerRun failed;
    failed.question = "q";
    failed.error = "the model service answered 400";
    failed.cause = "quota";
    const Value document = answer_document(failed);
    EXPECT_EQ(document["answer"], Value());
    EXPECT_EQ(document["queries"], Value::array());
    EXPECT_EQ(document["python_code"], Value());
    EXPECT_EQ(document["error"],
              Value::parse(R"({"message": "the model service answered 400", "cause": "quota"})"));

    // A result the handle did not render keeps its text.
    AnswerRun odd;
    odd.final_state = {{"generated_sql_query", {"SELECT 1"}}, {"sql_execution_result", {"not a literal"}}};
    const Value query = answer_document(odd)["queries"][0];
    EXPECT_EQ(query["rows"], Value());
    EXPECT_EQ(query["text"], "not a literal");
}

}  // namespace
}  // namespace veltaai
