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
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class VeltaaiProgram : public ::testing::Test {
protected:
    VeltaaiProgram() : dir_(fs::temp_directory_path() / ("veltaai-cli-" + std::to_string(getpid()))) {
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    ~VeltaaiProgram() override { fs::remove_all(dir_); }

    // Runs the program in a scratch directory (no .env there) with a clean environment plus env.
    Finished run(const std::vector<std::string>& args, const std::vector<std::string>& env) {
        const fs::path out = dir_ / "out.txt";
        const fs::path err = dir_ / "err.txt";
        const pid_t child = fork();
        if (child == 0) {
            if (chdir(dir_.c_str()) != 0 || !freopen(out.c_str(), "w", stdout) || !freopen(err.c_str(), "w", stderr))
                _exit(127);
            std::vector<std::string> environment = {"PATH=/usr/bin:/bin", "HOME=" + dir_.string()};
            environment.insert(environment.end(), env.begin(), env.end());
            std::vector<char*> argv = {const_cast<char*>(VELTAAI_PROGRAM)};
            for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
            argv.push_back(nullptr);
            std::vector<char*> envp;
            for (auto& entry : environment) envp.push_back(entry.data());
            envp.push_back(nullptr);
            execve(VELTAAI_PROGRAM, argv.data(), envp.data());
            _exit(127);
        }
        int status = 0;
        waitpid(child, &status, 0);
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, slurp(out), slurp(err)};
    }

    std::vector<std::string> chat_settings() const {
        return {"CHAT_35_API_BASE=" + chat_.azure_endpoint(), "CHAT_35_API_KEY=key-35-secret",
                "CHAT_35_API_VERSION=2024-02-01", "CHAT_35_DEPLOPMENT_NAME=gpt35",
                "CHAT_4_API_BASE=" + chat_.azure_endpoint(), "CHAT_4_API_KEY=key-4-secret",
                "CHAT_4_API_VERSION=2024-02-01", "CHAT_4_DEPLOPMENT_NAME=gpt4"};
    }

    std::string database() const { return "sqlite:///" + testing::chinook_sqlite(); }

    stubs::ChatStub chat_{script()};
    fs::path dir_;
};

TEST_F(VeltaaiProgram, AsksWithTheSettingsAndPrintsTheAnswer) {
    const Finished done = run({"ask", "--database", database(), "--media", "plots", "Which genres have the most tracks?"},
                              chat_settings());
    ASSERT_EQ(done.status, 0) << done.out << done.err;
    EXPECT_NE(done.out.find("\n" + kAnswer + "\n"), std::string::npos) << done.out;
    EXPECT_NE(done.out.find("SQL queries:\n  1. " + kQuery + "\n"), std::string::npos) << done.out;
    EXPECT_NE(done.out.find("Python code:\n" + kCode), std::string::npos) << done.out;
    EXPECT_EQ(done.out.find("Image:"), std::string::npos) << done.out;  // no plot was drawn
    EXPECT_TRUE(fs::is_directory(dir_ / "plots"));

    // Progress: every node of the road, with its step and duration.
    for (const char* node : {"init_node", "relevant_table_names_node", "sql_execution_node", "pandas_executor_node",
                             "final_response_generation_node"})
        EXPECT_NE(done.err.find(std::string("] ") + node + " "), std::string::npos) << node << "\n" << done.err;
    EXPECT_NE(done.err.find("tokens: "), std::string::npos) << done.err;
    EXPECT_EQ((done.out + done.err).find("secret"), std::string::npos);
    EXPECT_GE(chat_.request_count(), 5u);
}

TEST_F(VeltaaiProgram, ServiceModeReportsUsageAndConfigurationProblemsExitWithTwo) {
    stubs::ServiceStub service(Value{{"azure-openais", {{"body", {{{"model", "GPT-3.5"}, {"deployment_name", "gpt35"},
                                                                   {"azure_endpoint", chat_.azure_endpoint()},
                                                                   {"api_key", "key-35-secret"}, {"api_version", "v"}},
                                                                  {{"model", "GPT-4o"}, {"deployment_name", "gpt4"},
                                                                   {"azure_endpoint", chat_.azure_endpoint()},
                                                                   {"api_key", "key-4-secret"}, {"api_version", "v"}}}}}}});
    const std::string service_url = "VELTA_API_URL=" + service.url();
    Finished done = run({"ask", "--service", "-q", "--database", database(), "Top genres?"},
                        {service_url, "VELTA_API_KEY=vk-user-secret"});
    ASSERT_EQ(done.status, 0) << done.out << done.err;
    EXPECT_NE(done.out.find(kAnswer), std::string::npos) << done.out;
    EXPECT_EQ(done.err, "");  // quiet
    ASSERT_EQ(service.usage_reports().size(), 1u);
    EXPECT_EQ(service.usage_reports()[0]["query"], "Top genres?");
    EXPECT_EQ(service.usage_reports()[0]["velta_api_key"], "vk-user-secret");
    EXPECT_EQ((done.out + done.err).find("secret"), std::string::npos);

    // Without the key, without a database, without settings, with a bad command line.
    done = run({"ask", "--service", "--database", database(), "q"}, {service_url});
    EXPECT_EQ(done.status, 2);
    EXPECT_NE(done.err.find("VELTA_API_KEY"), std::string::npos) << done.err;
    done = run({"ask", "q"}, chat_settings());
    EXPECT_EQ(done.status, 2);
    EXPECT_NE(done.err.find("--database"), std::string::npos) << done.err;
    done = run({"ask", "--database", database(), "q"}, {"CHAT_35_API_BASE=http://x"});
    EXPECT_EQ(done.status, 2);
    EXPECT_NE(done.err.find("CHAT_35_DEPLOPMENT_NAME, CHAT_4_API_BASE, CHAT_4_DEPLOPMENT_NAME"), std::string::npos)
        << done.err;
    EXPECT_EQ(run({"ask"}, {}).status, 2);
    EXPECT_EQ(run({"bogus"}, {}).status, 2);
    service.set_answer("azure-openais", 200, Value::array());
    done = run({"ask", "--service", "--database", database(), "q"}, {service_url, "VELTA_API_KEY=k"});
    EXPECT_EQ(done.status, 2);
    EXPECT_NE(done.out.find("Internal Server Error!"), std::string::npos) << done.out;

    // A run whose every model call fails ends with 1 and no answer.
    chat_.set_script(Value::array({{{"status", 400}, {"error", "quota"}, {"repeat", true}}}));
    done = run({"ask", "--database", database(), "q"}, chat_settings());
    EXPECT_EQ(done.status, 1);
    EXPECT_NE(done.out.find("An error occurred when running the agent: "), std::string::npos) << done.out;
    EXPECT_EQ(done.out.find("SQL queries:"), std::string::npos) << done.out;
}

}  // namespace
}  // namespace veltaai
