// The shared text helpers, the environment rule and the status stream.
#include "veltaai/core/text.h"
#include "veltaai/core/azure_deployment.h"
#include "veltaai/core/errors.h"
#include "veltaai/core/status.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>
#include <thread>
#include <vector>

namespace veltaai {
namespace {

TEST(Text, HelpersKeepEveryByteTheyShouldKeep) {
    EXPECT_EQ(trim(" \t a b \r\n"), "a b");
    EXPECT_EQ(trim(" \n\t"), "");
    EXPECT_EQ(lower("SeLeCt É"), "select É");  // non-ASCII bytes untouched
    EXPECT_EQ(join({"a", "", "c"}, ", "), "a, , c");
    EXPECT_EQ(join({}, ", "), "");
    EXPECT_EQ(split("a,,b", ','), (std::vector<std::string>{"a", "", "b"}));
    EXPECT_EQ(split("", ','), (std::vector<std::string>{""}));
    EXPECT_EQ(std::string() + hex_digit(0) + hex_digit(10) + hex_digit(0x1f), "0AF");
    EXPECT_EQ(strip_trailing_slashes("http://h/v1//"), "http://h/v1");
    EXPECT_EQ(strip_trailing_slashes("///"), "");
}

TEST(Text, PercentEncodingGivesEveryTextBackThroughAUrl) {
    EXPECT_EQ(percent_encode("p@ss:w/rd%?#&= é"), "p%40ss%3Aw%2Frd%25%3F%23%26%3D%20%C3%A9");
    EXPECT_EQ(percent_encode("AZaz09-._~"), "AZaz09-._~");
    EXPECT_EQ(percent_encode(""), "");
    EXPECT_EQ(percent_encode(std::string("a\0b", 3)), "a%00b");
}

TEST(Text, AnEmptyVariableCountsAsUnsetUnlessEmptyIsAValue) {
    ::setenv("VELTAAI_TEXT_TEST", "", 1);
    EXPECT_EQ(environment_variable("VELTAAI_TEXT_TEST"), std::nullopt);
    EXPECT_EQ(environment_text("VELTAAI_TEXT_TEST"), "");  // an empty password is a password
    ::setenv("VELTAAI_TEXT_TEST", " x ", 1);
    EXPECT_EQ(environment_variable("VELTAAI_TEXT_TEST"), " x ");
    EXPECT_EQ(environment_text("VELTAAI_TEXT_TEST"), " x ");
    ::unsetenv("VELTAAI_TEXT_TEST");
    EXPECT_EQ(environment_variable("VELTAAI_TEXT_TEST"), std::nullopt);
    EXPECT_EQ(environment_text("VELTAAI_TEXT_TEST"), std::nullopt);
}

TEST(StatusStream, LinesGoWhereTheHostSaysAndDoNotInterleave) {
    EXPECT_EQ(&status_stream(), &std::cout);
    std::ostringstream captured;
    set_status_stream(captured);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([] {
            for (int i = 0; i < 200; ++i) status_line("Agent is Ready!");
        });
    for (auto& thread : threads) thread.join();
    set_status_stream(std::cout);
    std::istringstream lines(captured.str());
    int count = 0;
    for (std::string line; std::getline(lines, line); ++count) ASSERT_EQ(line, "Agent is Ready!");
    EXPECT_EQ(count, 800);
}

TEST(AzureDeploymentRecord, OneRecordFormBothWays) {
    const AzureDeployment deployment{"https://r.openai.azure.com", "key", std::nullopt, "gpt-4o"};
    const Value record = deployment;
    EXPECT_EQ(
        record.dump(),
        R"({"azure_endpoint":"https://r.openai.azure.com","api_key":"key","api_version":null,"azure_deployment":"gpt-4o"})");
    EXPECT_EQ(record.get<AzureDeployment>(), deployment);
    EXPECT_EQ(Value::object().get<AzureDeployment>(), AzureDeployment{});
    EXPECT_THROW(Value::parse(R"({"api_key": 5})").get<AzureDeployment>(), TypeError);
    EXPECT_THROW(Value::parse(R"({"deployment_name": "x"})").get<AzureDeployment>(), TypeError);
    EXPECT_THROW(Value::array().get<AzureDeployment>(), TypeError);
}

}  // namespace
}  // namespace veltaai
