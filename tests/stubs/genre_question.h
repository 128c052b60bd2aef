#pragma once
// One question over the Chinook file as the scripted chat server answers it end to end: which
// genres have the most tracks. Tests of separate processes (the command line, the HTTP server)
// script their model calls with it and check the answer document it leads to.

#include "veltaai/core/value.h"

#include <gtest/gtest.h>

#include <string>

namespace veltaai::stubs::genre_question {

inline const std::string kQuestion = "Which genres have the most tracks?";
inline const std::string kQuery =
    "SELECT g.Name, COUNT(*) AS Tracks FROM Track t JOIN Genre g ON g.GenreId = t.GenreId "
    "GROUP BY g.Name ORDER BY Tracks DESC LIMIT 3";
inline const std::string kAnswer = "Rock leads with 1297 tracks.";

// How the run's tables are chosen: by Azure function calling, or by a prompt (any
// OpenAI-compatible server).
enum class TablePick { function_call, prompt };

// A reply for every call that forces `tool`.
inline Value tool_reply(const std::string& tool, Value reply) {
    reply["match"] = {{"tool", tool}};
    reply["repeat"] = true;
    return reply;
}

// The replies of the whole run: tables, SQL, analysis code, the answer and the SQL review.
// The first reply is the table choice, for callers that delay it.
inline Value replies(TablePick pick, const std::string& code, const std::string& image_path = "") {
    Value tables =
        pick == TablePick::function_call
            ? tool_reply("select_relevant_tables",
                         {{"tool_call",
                           {{"name", "select_relevant_tables"},
                            {"arguments", {{"relevant_tables", {"Genre", "Track"}}}}}}})
            : tool_reply("RelevantTablesOutput", {{"structured", {{"relevant_tables", {"Genre", "Track"}}}}});
    return Value::array({
        tables,
        tool_reply("SQLQueryInput", {{"structured", {{"sql_query", kQuery}}}}),
        tool_reply("PythonCodeInput", {{"structured", {{"code", code}}}}),
        tool_reply("GenerationOutput",
                   {{"structured", {{"image_path", image_path}, {"final_response", kAnswer}}}}),
        {{"match", {{"any_contains", "You are reviewing a"}}},
         {"content", "```sql\n" + kQuery + "\n```"},
         {"repeat", true}},
    });
}

// The parts of an answer document every such run shares: the question, the answer and the one
// query with its rows.
inline void expect_answered(const Value& document) {
    EXPECT_EQ(document["question"], kQuestion);
    EXPECT_EQ(document["answer"], kAnswer);
    ASSERT_EQ(document["queries"].size(), 1u);
    EXPECT_EQ(document["queries"][0]["sql"], kQuery);
    EXPECT_EQ(document["queries"][0]["rows"],
              Value::parse(R"([["Rock", 1297], ["Latin", 579], ["Metal", 374]])"));
}

}  // namespace veltaai::stubs::genre_question
