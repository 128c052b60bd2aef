// Chat deployment records: defaults captured from .env and the environment when the library
// loads (checked in a child process with a prepared environment), and field-wise use.

#include "veltaai/settings.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace veltaai {
namespace {

namespace fs = std::filesystem;

// Runs the probe in dir with exactly the given environment and returns what it printed.
Value probe(const fs::path& dir, std::vector<std::string> environment, std::vector<std::string> args = {}) {
    int out[2];
    if (::pipe(out) != 0) throw std::runtime_error("pipe failed");
    std::vector<std::string> argv_text = {SETTINGS_PROBE};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char*> argv, envp;
    for (auto& a : argv_text) argv.push_back(a.data());
    for (auto& e : environment) envp.push_back(e.data());
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        ::close(out[0]);
        if (::chdir(dir.c_str()) == 0) ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    ::close(out[1]);
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<std::size_t>(n));
    ::close(out[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << text;
    return Value::parse(text);
}

class LoadedDefaults : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("veltaai-settings-" + std::to_string(::getpid()));
        fs::create_directories(dir_ / "run");
    }
    void TearDown() override { fs::remove_all(dir_); }
    fs::path dir_;
};

TEST_F(LoadedDefaults, ComeFromTheEnvironmentFileAndTheEnvironmentWins) {
    std::ofstream(dir_ / ".env") << "CHAT_35_API_KEY=key-from-file\nCHAT_4_API_BASE=https://file.example\n"
                                    "CHAT_35_DEPLOPMENT_NAME=gpt-35\n";
    const Value records = probe(dir_ / "run", {"CHAT_4_API_BASE=https://env.example", "CHAT_35_API_VERSION=",
                                               "CHAT_4_DEPLOYMENT_NAME=misspelt-the-other-way"});
    EXPECT_EQ(records["chat_35"], Value::parse(R"({"azure_endpoint": null, "api_key": "key-from-file",
        "api_version": "", "azure_deployment": "gpt-35"})"));
    EXPECT_EQ(records["chat_4"], Value::parse(R"({"azure_endpoint": "https://env.example", "api_key": null,
        "api_version": null, "azure_deployment": null})"));
}

TEST_F(LoadedDefaults, AreAbsentWithoutVariablesAndIgnoreLaterChanges) {
    const Value none = probe(dir_ / "run", {});
    for (const char* record : {"chat_35", "chat_4"}) {
        for (const auto& [field, value] : none[record].items()) EXPECT_TRUE(value.is_null()) << record << "." << field;
    }
    const Value later = probe(dir_ / "run", {"CHAT_4_API_KEY=at-load"}, {"CHAT_4_API_KEY=changed", "CHAT_35_API_BASE=late"});
    EXPECT_EQ(later["chat_4"]["api_key"], "at-load");
    EXPECT_TRUE(later["chat_35"]["azure_endpoint"].is_null());
}

TEST(ChatRecords, BuildCompareAndShowFieldWise) {
    const AzureOpenAIChat35 positional{"https://a.example", "secret-key"};
    EXPECT_EQ(positional.azure_endpoint, "https://a.example");
    EXPECT_EQ(positional.api_key, "secret-key");
    EXPECT_EQ(positional.api_version, settings_detail::chat_35_defaults().api_version) << "omitted fields keep defaults";

    const AzureOpenAIChat4 named{.api_version = "2024-02-01", .azure_deployment = std::nullopt};
    EXPECT_EQ(named.azure_endpoint, settings_detail::chat_4_defaults().azure_endpoint);
    EXPECT_EQ(named.api_version, "2024-02-01");
    EXPECT_FALSE(named.azure_deployment.has_value());

    AzureOpenAIChat35 copy = positional;
    EXPECT_EQ(copy, positional);
    copy.azure_deployment = "other";
    EXPECT_NE(copy, positional);

    const AzureOpenAIChat4 shown{"https://b.example", "secret-key", std::nullopt, "it's"};
    EXPECT_EQ(shown.to_string(),
              "AzureOpenAIChat4(azure_endpoint='https://b.example', api_key=<hidden>, api_version=None, "
              "azure_deployment=\"it's\")");
    EXPECT_EQ(shown.to_record().dump(),
              R"({"azure_endpoint":"https://b.example","api_key":"secret-key","api_version":null,"azure_deployment":"it's"})");
}

}  // namespace
}  // namespace veltaai
