// The `veltaai` program as a user runs it: a separate process, configured through environment
// variables, asking about the Chinook file with every model call answered by the chat stub
// over real HTTP, SQL run by SQLite and the analysis code by the real Python kernel.
#include "stubs/chat_stub.h"
#include "stubs/service_stub.h"
#include "tests/sql/test_servers.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace veltaai {
namespace {

namespace fs = std::filesystem;

const std::string kQuery =
    "SELECT g.Name, COUNT(*) AS Tracks FROM Track t JOIN Genre g ON g.GenreId = t.GenreId "
    "GROUP BY g.Name ORDER BY Tracks DESC LIMIT 3";
const std::string kCode = "rows = [('Rock', 1297)]\nprint('top genre:', rows[0][0])\n";
const std::string kAnswer = "Rock leads with 1297 tracks.";

Value tool_reply(const std::string& tool, Value reply) {
    reply["match"] = {{"tool", tool}};
    reply["repeat"] = true;
    return reply;
}

Value script() {
    return Value::array({
        tool_reply("select_relevant_tables",
                   {{"tool_call", {{"name", "select_relevant_tables"}, {"arguments", {{"relevant_tables", {"Genre", "Track"}}}}}}}),
        tool_reply("SQLQueryInput", {{"structured", {{"sql_query", kQuery}}}}),
        tool_reply("PythonCodeInput", {{"structured", {{"code", kCode}}}}),
        tool_reply("GenerationOutput", {{"structured", {{"image_path", ""}, {"final_response", kAnswer}}}}),
        {{"match", {{"any_contains", "You are reviewing a"}}}, {"content", "```sql\n" + kQuery + "\n```"}, {"repeat", true}},
    });
}

struct Finished {
    int status = -1;
    std::string out;
    std::string err;
};

std::string slurp(const fs::path& path) {
    std::stringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

class VeltaaiProgram : public ::testing::Test {
protected:
    VeltaaiProgram() : dir_(fs::temp_directory_path() / ("veltaai-cli-" + std::to_string(getpid()))) {
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    ~VeltaaiProgram() override { fs::remove_all(dir_); }

    // Runs the program in a scratch directory (no .env there) with only env set; arguments are
    // single-quoted, so they must not hold a quote.
    Finished run(const std::vector<std::string>& args, const std::vector<std::string>& env) {
        std::string command = "cd '" + dir_.string() + "' && env -i PATH=/usr/bin:/bin";
        for (const auto& entry : env) command += " '" + entry + "'";
        command += std::string(" '") + VELTAAI_PROGRAM + "'";
        for (const auto& arg : args) command += " '" + arg + "'";
        const int status = std::system((command + " >out.txt 2>err.txt").c_str());
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, slurp(dir_ / "out.txt"), slurp(dir_ / "err.txt")};
    }

    std::vector<std::string> chat_settings() const {
        std::vector<std::string> settings;
        for (const char* family : {"CHAT_35_", "CHAT_4_"})
            for (const std::string& entry : {"API_BASE=" + chat_.azure_endpoint(), std::string("API_KEY=key-secret"),
                                             std::string("API_VERSION=2024-02-01"), std::string("DEPLOPMENT_NAME=dep")})
                settings.push_back(family + entry);
        return settings;
    }

    std::string database() const { return "sqlite:///" + testing::chinook_sqlite(); }

    stubs::ChatStub chat_{script()};
    fs::path dir_;
};

TEST_F(VeltaaiProgram, AsksAndPrintsTheAnswerOrExitsWithAClearStatus) {
    Finished done = run({"ask", "--database", database(), "--media", "plots", "Which genres have the most tracks?"},
                        chat_settings());
    ASSERT_EQ(done.status, 0) << done.out << done.err;
    EXPECT_NE(done.out.find("\n" + kAnswer + "\n\nSQL queries:\n  1. " + kQuery +
                            "\n     result: [('Rock', 1297), ('Latin', 579), ('Metal', 374)]\n\nPython code:\n" + kCode),
              std::string::npos) << done.out;
    EXPECT_EQ(done.out.find("Image:"), std::string::npos) << done.out;  // no plot was drawn
    EXPECT_TRUE(fs::is_directory(dir_ / "plots"));
    for (const char* node : {"] init_node ", "] sql_execution_node ", "] final_response_generation_node ", "tokens: "})
        EXPECT_NE(done.err.find(node), std::string::npos) << node << "\n" << done.err;
    EXPECT_EQ((done.out + done.err).find("secret"), std::string::npos);

    // From the product service, which then gets the usage report.
    stubs::ServiceStub service(Value{{"azure-openais", {{"body", Value::array()}}}});
    Value records = Value::array();
    for (const char* model : {"GPT-3.5", "GPT-4o"})
        records.push_back({{"model", model}, {"deployment_name", "dep"}, {"azure_endpoint", chat_.azure_endpoint()},
                           {"api_key", "key-secret"}, {"api_version", "v"}});
    service.set_answer("azure-openais", 200, records);
    const std::string service_url = "VELTA_API_URL=" + service.url();
    done = run({"ask", "--service", "-q", "--database", database(), "Top genres?"}, {service_url, "VELTA_API_KEY=vk-secret"});
    ASSERT_EQ(done.status, 0) << done.out << done.err;
    EXPECT_NE(done.out.find(kAnswer), std::string::npos) << done.out;
    EXPECT_EQ(done.err, "");
    ASSERT_EQ(service.usage_reports().size(), 1u);
    EXPECT_EQ(service.usage_reports()[0]["velta_api_key"], "vk-secret");
    EXPECT_EQ((done.out + done.err).find("secret"), std::string::npos);

    // Configuration problems: 2, with the reason.
    done = run({"ask", "--service", "--database", database(), "q"}, {service_url});
    EXPECT_EQ(done.status, 2);
    EXPECT_NE(done.err.find("VELTA_API_KEY"), std::string::npos) << done.err;
    EXPECT_EQ(run({"ask", "q"}, chat_settings()).status, 2);
    done = run({"ask", "--database", database(), "q"}, {"CHAT_35_API_BASE=http://x"});
    EXPECT_EQ(done.status, 2);
    EXPECT_NE(done.err.find("CHAT_35_DEPLOPMENT_NAME, CHAT_4_API_BASE, CHAT_4_DEPLOPMENT_NAME"), std::string::npos)
        << done.err;
    EXPECT_EQ(run({"bogus"}, {}).status, 2);

    // A run whose model calls all fail: 1, and no answer.
    chat_.set_script(Value::array({{{"status", 400}, {"error", "quota"}, {"repeat", true}}}));
    done = run({"ask", "--database", database(), "q"}, chat_settings());
    EXPECT_EQ(done.status, 1);
    EXPECT_NE(done.out.find("An error occurred when running the agent: "), std::string::npos) << done.out;
    EXPECT_EQ(done.out.find("SQL queries:"), std::string::npos) << done.out;
}

TEST_F(VeltaaiProgram, AQuestionWhoseSqlNeverSucceedsPrintsTheAnswerQueriesAndLastErrorThenExitsOne) {
    const std::string broken = "SELECT Nmae FROM Genre";
    chat_.set_script(Value::array({
        tool_reply("select_relevant_tables",
                   {{"tool_call", {{"name", "select_relevant_tables"}, {"arguments", {{"relevant_tables", {"Genre"}}}}}}}),
        tool_reply("SQLQueryInput", {{"structured", {{"sql_query", broken}}}}),
        tool_reply("RewriteQueryOutput", {{"structured", {{"rewritten_question", "Name the genres."}}}}),
        tool_reply("GenerationOutput", {{"structured", {{"image_path", "/tmp/none.png"}, {"final_response", "The genre names could not be read."}}}}),
        {{"match", {{"any_contains", "You are reviewing a"}}}, {"content", broken}, {"repeat", true}},
    }));
    stubs::ServiceStub service;
    Value records = Value::array();
    for (const char* model : {"GPT-3.5", "GPT-4o"})
        records.push_back({{"model", model}, {"deployment_name", "dep"}, {"azure_endpoint", chat_.azure_endpoint()},
                           {"api_key", "key-secret"}, {"api_version", "v"}});
    service.set_answer("azure-openais", 200, records);
    const Finished done = run({"ask", "--service", "-q", "--database", database(), "Which genres?"},
                              {"VELTA_API_URL=" + service.url(), "VELTA_API_KEY=vk-secret"});
    EXPECT_EQ(done.status, 1) << done.out << done.err;
    EXPECT_NE(done.out.find("\nThe genre names could not be read.\n\nSQL queries:\n  1. " + broken +
                            "\n     result: "),
              std::string::npos) << done.out;
    EXPECT_NE(done.out.find("  6. " + broken), std::string::npos) << done.out;
    EXPECT_NE(done.out.find("\nLast database error: no such column: Nmae"), std::string::npos) << done.out;
    for (const char* absent : {"Python code:", "Image:", "An error occurred", "pandas_code"})
        EXPECT_EQ(done.out.find(absent), std::string::npos) << absent << "\n" << done.out;
    EXPECT_NE(done.err.find("no SQL query of the run succeeded"), std::string::npos) << done.err;
    // The model calls were paid for, so they are reported.
    ASSERT_EQ(service.usage_reports().size(), 1u);
    EXPECT_EQ(service.usage_reports()[0]["query"], "Which genres?");
}

}  // namespace
}  // namespace veltaai
