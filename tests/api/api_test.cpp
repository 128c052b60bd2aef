// The product service client against the service stub over real HTTP: what it fetches,
// prints, logs and reports, and create_chat_openai_instance on top of it.
#include "veltaai/api.h"
#include "../llm/env_guard.h"
#include "stubs/chat_stub.h"
#include "stubs/service_stub.h"
#include "veltaai/agent.h"
#include "veltaai/core/log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <sstream>

namespace veltaai::api {
namespace {

using stubs::ServiceStub;
using ::testing::internal::CaptureStderr;
using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStderr;
using ::testing::internal::GetCapturedStdout;
using veltaai::testing::EnvGuard;

const Value azure_35 = {{"model", "GPT-3.5"},
                        {"deployment_name", "gpt35"},
                        {"azure_endpoint", "https://a.example"},
                        {"api_key", "0123456789abcdef"},
                        {"api_version", "2024-02-01"}};

TEST(VeltaAPIHandler, TextFormBaseAddressAndLogLevels) {
    {
        EnvGuard url("VELTA_API_URL", "http://127.0.0.1:9/base//");
        const VeltaAPIHandler handler("vk-secret");
        EXPECT_EQ(handler.main_url, "http://127.0.0.1:9/base");
        std::ostringstream shown;
        shown << handler;
        EXPECT_EQ(shown.str(), "VeltaAPIHandler Instance");
        EXPECT_EQ(handler.str(), "VeltaAPIHandler Instance");
    }
    EnvGuard unset("VELTA_API_URL", std::nullopt);
    EXPECT_EQ(VeltaAPIHandler("k").main_url, "https://api.velta.ai");
    // Set when the module was loaded.
    EXPECT_EQ(log::level(), log::Level::info);
    EXPECT_EQ(log::get("http")->level(), spdlog::level::warn);
    EXPECT_EQ(mask_secret("0123456789abcdef"), "************cdef");
    EXPECT_EQ(mask_secret("abcd"), "****");
}

TEST(VeltaAPIHandler, ConfigurationFetchesReturnTheFirstRecordOnly) {
    ServiceStub service(
        {{"openais",
          {{"body", {{{"model_name", "gpt-4o"}, {"api_key", "sk-1"}}, {{"model_name", "second"}}}}}},
         {"azure-openais", {{"body", {azure_35, {{"model", "GPT-4"}}}}}}});
    EnvGuard url("VELTA_API_URL", service.url());
    const VeltaAPIHandler handler("vk-secret");
    EXPECT_EQ(handler.get_openai_data(), Value({{"model_name", "gpt-4o"}, {"api_key", "sk-1"}}));

    CaptureStdout();
    const auto azure = handler.get_azure_openai_data();
    const std::string printed = GetCapturedStdout();
    EXPECT_EQ(azure, azure_35);  // the caller gets the real key
    EXPECT_EQ(printed,
              "azureopenai_data: {'model': 'GPT-3.5', 'deployment_name': 'gpt35', 'azure_endpoint': "
              "'https://a.example', 'api_key': '************cdef', 'api_version': '2024-02-01'}\n");

    const auto requests = service.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].method, "GET");
    EXPECT_EQ(requests[0].path, "/velta/openais/");
    EXPECT_EQ(requests[1].path, "/velta/azure-openais/");
    for (const auto& request : requests) EXPECT_EQ(request.body_text.find("vk-secret"), std::string::npos);
}

TEST(VeltaAPIHandler, EmptyAndFailedFetchesGiveNothing) {
    ServiceStub service;  // both lists empty
    EnvGuard url("VELTA_API_URL", service.url());
    const VeltaAPIHandler handler("k");

    CaptureStderr();
    EXPECT_EQ(handler.get_openai_data(), std::nullopt);
    EXPECT_EQ(GetCapturedStderr(), "");  // an empty list is not a failure here

    CaptureStdout();
    CaptureStderr();
    EXPECT_EQ(handler.get_azure_openai_data(), std::nullopt);
    EXPECT_NE(GetCapturedStderr().find("Error in get_openai_data: list index out of range"),
              std::string::npos);
    EXPECT_EQ(GetCapturedStdout(), "");

    const struct {
        int status;
        const char* raw;
        const char* logged;
    } failures[] = {
        {500, "{}", "Error in get_openai_data: 500 Server Error: Internal Server Error for url: "},
        {404, "[]", "Error in get_openai_data: 404 Client Error"},
        {200, "<html>", "Error in get_openai_data: "}};
    for (const auto& failure : failures) {
        service.set_raw_answer("openais", failure.status, failure.raw);
        service.set_raw_answer("azure-openais", failure.status, failure.raw);
        CaptureStderr();
        EXPECT_EQ(handler.get_openai_data(), std::nullopt);
        EXPECT_EQ(handler.get_azure_openai_data(), std::nullopt);
        const std::string logged = GetCapturedStderr();
        EXPECT_NE(logged.find(failure.logged), std::string::npos) << logged;
    }

    service.stop();
    CaptureStderr();
    EXPECT_EQ(handler.get_openai_data(), std::nullopt);
    EXPECT_NE(GetCapturedStderr().find("Error in get_openai_data: "), std::string::npos);
}

TEST(SendUserQuestion, OnlyStatus201IsSuccess) {
    ServiceStub service(Value({{"user_questions", {{"status", 201}, {"body", {{"id", 7}}}}}}));
    EnvGuard url("VELTA_API_URL", service.url());

    CaptureStdout();
    const auto answer = send_user_question("vk-1", "Top artists?", 1234, 0.0421);
    EXPECT_EQ(GetCapturedStdout(), "Success at:Velta1!.\n");
    EXPECT_EQ(answer, Value({{"id", 7}}));
    ASSERT_EQ(service.usage_reports().size(), 1u);
    EXPECT_EQ(service.usage_reports()[0].dump(),
              R"({"velta_api_key":"vk-1","query":"Top artists?","tokens":1234,"total_cost":0.0421})");
    EXPECT_EQ(service.requests()[0].header("content-type"), "application/json");

    service.set_answer("user_questions", 200, {{"id", 8}});
    CaptureStdout();
    EXPECT_EQ(send_user_question("vk-1", "q", 1, 0.5), std::nullopt);
    EXPECT_EQ(GetCapturedStdout(), "Failed at:Velta0! : \n");

    service.set_answer("user_questions", 500, {{"detail", "down"}});
    CaptureStdout();
    EXPECT_EQ(send_user_question("vk-1", "q", 1, 0.5), std::nullopt);
    EXPECT_EQ(GetCapturedStdout(), "Failed at:Velta0! : \n");

    // A 201 whose body is not JSON is a failed exchange, printed, never thrown.
    service.set_raw_answer("user_questions", 201, "created, but not JSON");
    CaptureStdout();
    EXPECT_EQ(send_user_question("vk-1", "q", 1, 0.5), std::nullopt);
    std::string printed = GetCapturedStdout();
    EXPECT_EQ(printed.rfind("An error occurred during the API request: ", 0), 0u) << printed;
    EXPECT_EQ(printed.find("Success at:"), std::string::npos) << printed;
    EXPECT_EQ(std::count(printed.begin(), printed.end(), '\n'), 1) << printed;

    service.stop();
    CaptureStdout();
    EXPECT_EQ(send_user_question("vk-1", "q", 1, 0.5), std::nullopt);
    printed = GetCapturedStdout();
    EXPECT_EQ(printed.rfind("An error occurred during the API request: ", 0), 0u) << printed;
    EXPECT_EQ(printed.find("vk-1"), std::string::npos);
}

TEST(SendUserQuestion, AStalledServiceIsGivenUpAtTheTimeLimit) {
    EnvGuard unset("VELTA_API_TIMEOUT", std::nullopt);
    EXPECT_EQ(service_time_limit(), std::chrono::milliseconds(30000));
    for (const char* unusable : {"", "abc", "0", "-2", "5s"}) {
        EnvGuard limit("VELTA_API_TIMEOUT", std::string(unusable));
        EXPECT_EQ(service_time_limit(), std::chrono::milliseconds(30000)) << unusable;
    }
    EnvGuard limit("VELTA_API_TIMEOUT", "0.3");
    EXPECT_EQ(service_time_limit(), std::chrono::milliseconds(300));

    ServiceStub service(Value({{"user_questions", {{"stall_ms", 5000}}}}));
    EnvGuard url("VELTA_API_URL", service.url());
    CaptureStdout();
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(send_user_question("vk-1", "q", 1, 0.5), std::nullopt);
    const auto took = std::chrono::steady_clock::now() - started;
    const std::string printed = GetCapturedStdout();
    EXPECT_EQ(printed.rfind("An error occurred during the API request: ", 0), 0u) << printed;
    EXPECT_GE(took, std::chrono::milliseconds(250));
    EXPECT_LT(took, std::chrono::milliseconds(2500));
    EXPECT_EQ(service.usage_reports().size(), 1u);  // it did arrive; only the answer never came
}

TEST(CreateChatOpenAIInstance, BuildsTheServiceConfiguredModel) {
    stubs::ChatStub chat(Value::array({{{"content", "hello"}}}));
    ServiceStub service(
        Value({{"openais", {{"body", {{{"model_name", "gpt-4o-mini"}, {"api_key", "sk-service"}}}}}}}));
    EnvGuard url("VELTA_API_URL", service.url());
    EnvGuard base("OPENAI_BASE_URL", chat.openai_base_url());

    CaptureStdout();
    auto model = agent::create_chat_openai_instance("vk-1");
    EXPECT_EQ(GetCapturedStdout(), "LLM is Ready!\n");
    EXPECT_EQ(model->invoke("hi"), "hello");
    const auto request = chat.requests().at(0);
    EXPECT_EQ(request.body["temperature"], 1.0);  // absent from the configuration
    EXPECT_EQ(request.body["model"], "gpt-4o-mini");
    EXPECT_EQ(request.header("authorization"), "Bearer sk-service");

    service.set_answer("openais", 200,
                       Value::array({{{"model_name", "gpt-4o"}, {"api_key", "k"}, {"temperature", 0.2}}}));
    CaptureStdout();
    EXPECT_EQ(agent::create_chat_openai_instance("vk-1")->settings().temperature, 0.2);
    EXPECT_EQ(GetCapturedStdout(), "LLM is Ready!\n");
}

TEST(VeltaAPIHandler, AStalledConfigurationFetchIsGivenUpAtTheTimeLimit) {
    ServiceStub service(
        Value({{"openais", {{"body", {{{"model_name", "gpt-4o"}, {"api_key", "sk-1"}}}}, {"stall_ms", 5000}}},
               {"azure-openais", {{"body", {azure_35}}, {"stall_ms", 5000}}}}));
    EnvGuard url("VELTA_API_URL", service.url());
    EnvGuard limit("VELTA_API_TIMEOUT", "0.3");
    const VeltaAPIHandler handler("k");
    using std::chrono::milliseconds;
    const auto timed = [](const auto& call) {
        const auto started = std::chrono::steady_clock::now();
        call();
        return std::chrono::steady_clock::now() - started;
    };
    CaptureStdout();
    CaptureStderr();
    auto took = timed([&] { EXPECT_EQ(handler.get_openai_data(), std::nullopt); });
    EXPECT_GE(took, milliseconds(250));
    EXPECT_LT(took, milliseconds(2500));
    took = timed([&] { EXPECT_EQ(handler.get_azure_openai_data(), std::nullopt); });
    EXPECT_LT(took, milliseconds(2500));
    took = timed([&] { EXPECT_THROW(agent::create_chat_openai_instance("k"), ValueError); });
    EXPECT_LT(took, milliseconds(2500));
    took = timed([&] { EXPECT_THROW(agent::fetch_azure_configs(), HttpError); });
    EXPECT_LT(took, milliseconds(2500));
    const std::string logged = GetCapturedStderr();
    EXPECT_EQ(GetCapturedStdout(), "");  // neither "LLM is Ready!" nor the Azure record
    std::size_t count = 0;
    for (auto at = logged.find("Error in get_openai_data: "); at != std::string::npos;
         at = logged.find("Error in get_openai_data: ", at + 1))
        ++count;
    EXPECT_EQ(count, 3u) << logged;

    // Within the limit the same fetches succeed.
    service.set_stall("openais", milliseconds(0));
    EXPECT_EQ(handler.get_openai_data(), Value({{"model_name", "gpt-4o"}, {"api_key", "sk-1"}}));
}

TEST(CreateChatOpenAIInstance, AConfigurationWithoutNameOrKeyIsNotReady) {
    ServiceStub service;
    EnvGuard url("VELTA_API_URL", service.url());
    for (const Value& record : {Value{{"api_key", "sk-1"}}, Value{{"model_name", "gpt-4o"}, {"api_key", ""}},
                                Value{{"model_name", nullptr}, {"api_key", nullptr}}}) {
        service.set_answer("openais", 200, Value::array({record}));
        CaptureStdout();
        try {
            agent::create_chat_openai_instance("vk-1");
            ADD_FAILURE() << "accepted " << record;
        } catch (const ValueError& error) {
            const std::string what = error.what();
            EXPECT_NE(what.find(record.value("api_key", Value()).is_string() &&
                                        !record["api_key"].get<std::string>().empty()
                                    ? "model_name"
                                    : "api_key"),
                      std::string::npos)
                << what;
        }
        EXPECT_EQ(GetCapturedStdout(), "Internal Server Error!\n") << record;
    }
}

TEST(CreateChatOpenAIInstance, NoConfigurationRaisesAndPrintsNothing) {
    ServiceStub service(Value({{"openais", {{"status", 503}, {"body", {{"detail", "down"}}}}}}));
    EnvGuard url("VELTA_API_URL", service.url());
    CaptureStdout();
    CaptureStderr();
    EXPECT_THROW(agent::create_chat_openai_instance("vk-1"), ValueError);
    service.set_answer("openais", 200, Value::array());
    EXPECT_THROW(agent::create_chat_openai_instance("vk-1"), ValueError);
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_NE(GetCapturedStderr().find("Error in get_openai_data: 503"), std::string::npos);
}

}  // namespace
}  // namespace veltaai::api
