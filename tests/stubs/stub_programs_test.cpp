// The stub programs as a command line uses them: started with a JSON file on a free port,
// they print their address, answer real HTTP, and end on SIGTERM.
#include "veltaai/core/http.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

namespace {

using veltaai::Value;

class StubProgram {
public:
    StubProgram(const std::string& program, const std::string& flag, const Value& file) {
        path_ = ::testing::TempDir() + "stub-" + std::to_string(getpid()) + ".json";
        std::ofstream(path_) << file.dump();
        int pipe_ends[2];
        if (pipe(pipe_ends) != 0) throw std::runtime_error("pipe");
        pid_ = fork();
        if (pid_ == 0) {
            dup2(pipe_ends[1], STDOUT_FILENO);
            close(pipe_ends[0]);
            execl(program.c_str(), program.c_str(), flag.c_str(), path_.c_str(), "--port", "0",
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        close(pipe_ends[1]);
        FILE* out = fdopen(pipe_ends[0], "r");
        char line[256] = {0};
        if (out && fgets(line, sizeof line, out)) first_line_ = line;
        if (out) fclose(out);
    }
    ~StubProgram() {
        if (pid_ > 0 && !stopped_) stop();
        std::remove(path_.c_str());
    }
    int stop() {
        kill(pid_, SIGTERM);
        int status = 0;
        waitpid(pid_, &status, 0);
        stopped_ = true;
        return status;
    }
    // "http://127.0.0.1:PORT" from "listening on http://127.0.0.1:PORT\n".
    std::string url() const {
        const std::string prefix = "listening on ";
        if (first_line_.rfind(prefix, 0) != 0) return {};
        return first_line_.substr(prefix.size(), first_line_.find_last_not_of("\n") + 1 - prefix.size());
    }

private:
    std::string path_;
    std::string first_line_;
    pid_t pid_ = -1;
    bool stopped_ = false;
};

TEST(StubPrograms, ChatStubServesItsScriptAndItsRecord) {
    StubProgram chat(STUB_CHAT_PROGRAM, "--script",
                     {{"model", "gpt-4o"}, {"replies", {{{"content", "from the script"}}}}});
    ASSERT_EQ(chat.url().rfind("http://127.0.0.1:", 0), 0u) << chat.url();
    veltaai::http::Client client;
    const auto answer = client.post_json(chat.url() + "/v1/chat/completions", {{"messages", Value::array()}});
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(answer.json()["choices"][0]["message"]["content"], "from the script");
    EXPECT_EQ(answer.json()["model"], "gpt-4o");
    const Value recorded = client.get(chat.url() + "/_stub/requests").json();
    ASSERT_EQ(recorded.size(), 1u);
    EXPECT_EQ(recorded[0]["path"], "/v1/chat/completions");
    const int status = chat.stop();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(StubPrograms, ServiceStubAnswersAndRecordsUsageReports) {
    StubProgram service(STUB_SERVICE_PROGRAM, "--config",
                        {{"openais", {{"body", {{{"model_name", "m"}}}}}},
                         {"user_questions", {{"status", 201}, {"body", {{"ok", true}}}}}});
    veltaai::http::Client client;
    EXPECT_EQ(client.get(service.url() + "/velta/openais/").json(), Value::parse(R"([{"model_name":"m"}])"));
    EXPECT_EQ(client.post_json(service.url() + "/velta/user_questions/", {{"tokens", 3}}).status, 201);
    EXPECT_EQ(client.get(service.url() + "/_stub/usage_reports").json(), Value::parse(R"([{"tokens":3}])"));
}

}  // namespace
