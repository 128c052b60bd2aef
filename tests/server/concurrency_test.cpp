// Many questions at once on one `veltaai serve`: each answer is its own question's, with its
// own usage, and the slow model calls overlap instead of queueing.
#include "stubs/chat_stub.h"
#include "tests/server/serve_process.h"
#include "tests/sql/test_servers.h"

#include <gtest/gtest.h>

#include <future>

namespace veltaai {
namespace {

constexpr int kQuestions = 32;
constexpr long kStallMs = 400;

Value script() {
    const std::string query = "SELECT COUNT(*) FROM Track";
    Value replies = Value::array({
        {{"match", {{"tool", "select_relevant_tables"}}},
         {"repeat", true},
         {"tool_call",
          {{"name", "select_relevant_tables"}, {"arguments", {{"relevant_tables", {"Track"}}}}}}},
        // The slow call of every question.
        {{"match", {{"tool", "SQLQueryInput"}}},
         {"repeat", true},
         {"stall_ms", kStallMs},
         {"structured", {{"sql_query", query}}}},
        {{"match", {{"tool", "PythonCodeInput"}}},
         {"repeat", true},
         {"structured", {{"code", "print(3503)\n"}}}},
        {{"match", {{"any_contains", "You are reviewing a"}}},
         {"content", "```sql\n" + query + "\n```"},
         {"repeat", true}},
    });
    // The answer names its question, and its usage is the question's own.
    for (int i = 0; i < kQuestions; ++i) {
        const std::string marker = "<q" + std::to_string(i) + ">";
        replies.push_back({{"match", {{"tool", "GenerationOutput"}, {"any_contains", marker}}},
                           {"repeat", true},
                           {"usage", {{"prompt_tokens", 1000 + i}, {"completion_tokens", 0}}},
                           {"structured", {{"image_path", ""}, {"final_response", "answer to " + marker}}}});
    }
    return replies;
}

TEST(ServeConcurrency, ThirtyTwoQuestionsInFlightEachGetTheirOwnAnswerAndUsage) {
    stubs::ChatStub chat(script());
    testing::ServeProcess server(
        {"--database", "sqlite:///" + testing::chinook_sqlite(), "--port", "0", "--media",
         (std::filesystem::temp_directory_path() / "veltaai-serve-concurrency").string()},
        testing::chat_settings(chat.azure_endpoint()));
    ASSERT_TRUE(server.started()) << server.said();

    const auto started = std::chrono::steady_clock::now();
    std::vector<std::future<Value>> answers;
    for (int i = 0; i < kQuestions; ++i) {
        answers.push_back(std::async(std::launch::async, [&server, i] {
            auto client = server.client();
            const std::string question = "How many tracks are there? <q" + std::to_string(i) + ">";
            auto response =
                client.Post("/v1/questions", Value{{"question", question}}.dump(), "application/json");
            if (!response) return Value{{"transport", httplib::to_string(response.error())}};
            Value document = Value::parse(response->body);
            document["http_status"] = response->status;
            return document;
        }));
    }
    for (int i = 0; i < kQuestions; ++i) {
        const Value document = answers[static_cast<std::size_t>(i)].get();
        const std::string marker = "<q" + std::to_string(i) + ">";
        EXPECT_EQ(document.value("http_status", 0), 200) << i << document << server.said();
        if (!document.contains("http_status")) continue;
        EXPECT_EQ(document["question"], "How many tracks are there? " + marker);
        EXPECT_EQ(document["answer"], "answer to " + marker);
        EXPECT_EQ(document["queries"][0]["rows"], Value::parse("[[3503]]"));
        EXPECT_EQ(document["python_output"], "3503\n");
        // Four calls of 15 tokens and the answer's own 1000 + i.
        EXPECT_EQ(document["tokens"], 60 + 1000 + i) << marker;
    }
    // One after another they would need 32 x 400 ms.
    const auto elapsed = std::chrono::steady_clock::now() - started;
    EXPECT_LT(elapsed, std::chrono::milliseconds(kQuestions * kStallMs / 3));
    EXPECT_EQ(chat.request_count(), static_cast<std::size_t>(5 * kQuestions));
}

}  // namespace
}  // namespace veltaai
