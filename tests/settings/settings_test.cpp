// Chat deployment records: defaults captured from .env and the environment when the library
// loads (checked in a child process with a prepared environment), and field-wise use.

#include "veltaai/settings.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

namespace veltaai {
namespace {

namespace fs = std::filesystem;

// Runs the probe in dir with exactly the given environment ("A=1 B=2") and returns its records.
Value probe(const fs::path& dir, const std::string& environment, const std::string& args = "") {
    const std::string command =
        "cd '" + dir.string() + "' && env -i " + environment + " " SETTINGS_PROBE " " + args;
    FILE* pipe = ::popen(command.c_str(), "r");
    std::string text;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) text.append(buffer, n);
    EXPECT_EQ(::pclose(pipe), 0) << text;
    return Value::parse(text);
}

class LoadedDefaults : public ::testing::Test {
protected:
    void SetUp() override { fs::create_directories(dir_ / "run"); }
    void TearDown() override { fs::remove_all(dir_); }
    const fs::path dir_ = fs::temp_directory_path() / ("veltaai-settings-" + std::to_string(::getpid()));
};

TEST_F(LoadedDefaults, ComeFromTheEnvironmentFileAndTheEnvironmentWins) {
    std::ofstream(dir_ / ".env") << "CHAT_35_API_KEY=key-from-file\nCHAT_4_API_BASE=https://file.example\n"
                                    "CHAT_35_DEPLOPMENT_NAME=gpt-35\n";
    const Value records = probe(dir_ / "run",
                                "CHAT_4_API_BASE=https://env.example CHAT_35_API_VERSION= "
                                "CHAT_4_DEPLOYMENT_NAME=spelt-the-other-way");
    EXPECT_EQ(records["chat_35"], Value::parse(R"({"azure_endpoint": null, "api_key": "key-from-file",
        "api_version": "", "azure_deployment": "gpt-35"})"));
    EXPECT_EQ(records["chat_4"], Value::parse(R"({"azure_endpoint": "https://env.example", "api_key": null,
        "api_version": null, "azure_deployment": null})"));
}

TEST_F(LoadedDefaults, AreAbsentWithoutVariablesAndIgnoreLaterChanges) {
    const Value none = probe(dir_ / "run", "");
    for (const char* record : {"chat_35", "chat_4"}) {
        for (const auto& [field, value] : none[record].items())
            EXPECT_TRUE(value.is_null()) << record << "." << field;
    }
    const Value later =
        probe(dir_ / "run", "CHAT_4_API_KEY=at-load", "CHAT_4_API_KEY=changed CHAT_35_API_BASE=late");
    EXPECT_EQ(later["chat_4"]["api_key"], "at-load");
    EXPECT_TRUE(later["chat_35"]["azure_endpoint"].is_null());
}

TEST(ChatRecords, BuildCompareAndShowFieldWise) {
    const AzureOpenAIChat35 positional{"https://a.example", "secret-key"};
    EXPECT_EQ(positional.api_key, "secret-key");
    EXPECT_EQ(positional.api_version, settings_detail::chat_35_defaults().api_version)
        << "omitted fields keep defaults";
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
              "AzureOpenAIChat4(azure_endpoint='https://b.example', api_key=<hidden>, "
              "api_version=None, azure_deployment=\"it's\")");
    EXPECT_EQ(shown.to_record().dump(), R"({"azure_endpoint":"https://b.example","api_key":"secret-key",)"
                                        R"("api_version":null,"azure_deployment":"it's"})");
}

}  // namespace
}  // namespace veltaai
