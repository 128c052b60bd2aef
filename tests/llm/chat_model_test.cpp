// Chat models against the scripted chat completions stub over real HTTP: URL shapes and
// headers, structured output, retries, time limits and malformed replies.
#include "env_guard.h"
#include "stubs/chat_stub.h"
#include "veltaai/llm/chat_openai.h"

#include <gtest/gtest.h>

#include <chrono>

namespace veltaai::llm {
namespace {

using std::chrono::milliseconds;
using stubs::ChatStub;

ModelSettings fast_settings(int retries = 2, milliseconds timeout = milliseconds(5000)) {
    ModelSettings settings;
    settings.timeout = timeout;
    settings.retry.max_retries = retries;
    settings.retry.initial_delay = milliseconds(10);
    return settings;
}

std::shared_ptr<ChatOpenAI> openai_model(const ChatStub& stub, ModelSettings settings = fast_settings()) {
    ChatOpenAIOptions options;
    options.openai_api_key = "sk-test-secret-123";
    options.model = "gpt-4o";
    options.base_url = stub.openai_base_url();
    options.settings = std::move(settings);
    return std::make_shared<ChatOpenAI>(std::move(options));
}

Value azure_fields(const ChatStub& stub) {
    return {{"azure_endpoint", stub.azure_endpoint() + "/"},
            {"api_key", "azure-key-456"},
            {"api_version", "2024-02-01"},
            {"azure_deployment", "dep35"}};
}

const StructuredSchema tables_schema{
    "RelevantTablesOutput", {{"relevant_tables", FieldType::text_list, "List of relevant table names"}}};

TEST(ChatModelShapes, OpenAIRequestCarriesModelKeyAndMessages) {
    ChatStub stub(Value::array({{{"content", "It has 8 tables."}}}));
    auto model = openai_model(stub);
    EXPECT_EQ(model->invoke("How many tables?"), "It has 8 tables.");

    const auto requests = stub.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].path, "/v1/chat/completions");
    EXPECT_EQ(requests[0].header("authorization"), "Bearer sk-test-secret-123");
    EXPECT_EQ(requests[0].header("content-type"), "application/json");
    EXPECT_EQ(requests[0].body["model"], "gpt-4o");
    EXPECT_EQ(requests[0].body["temperature"], 0.7);
    EXPECT_EQ(requests[0].body["messages"],
              Value::parse(R"([{"role":"user","content":"How many tables?"}])"));
    EXPECT_FALSE(requests[0].body.contains("tools"));
}

TEST(ChatModelShapes, OpenAIBaseUrlComesFromTheEnvironment) {
    ChatStub stub(Value::array({{{"content", "ok"}}}));
    testing::EnvGuard base("OPENAI_BASE_URL", stub.url() + "/custom/v1");
    testing::EnvGuard key("OPENAI_API_KEY", "sk-from-env");
    ChatOpenAIOptions options;  // no key, no base URL: both from the environment
    options.settings = fast_settings();
    ChatOpenAI model(options);
    // The stub only answers /v1/chat/completions and /chat/completions: a wrong URL is a 404.
    EXPECT_EQ(model.url(), stub.url() + "/custom/v1/chat/completions");

    testing::EnvGuard right_base("OPENAI_BASE_URL", stub.url() + "/");
    ChatOpenAIOptions again;
    again.settings = fast_settings();
    EXPECT_EQ(ChatOpenAI(again).invoke("hi"), "ok");
    EXPECT_EQ(stub.requests().at(0).header("authorization"), "Bearer sk-from-env");
    EXPECT_EQ(stub.requests().at(0).body["model"], "gpt-3.5-turbo");
}

TEST(ChatModelShapes, AzureUrlHeaderAndSettingsFromARecord) {
    ChatStub stub(Value::array({{{"content", "azure says hi"}}}));
    auto model = AzureChatOpenAI::from_fields(azure_fields(stub), 4096, 0, {{"top_p", 0.95}});
    EXPECT_EQ(model->invoke(ChatMessages{ChatMessage::system("be brief"), ChatMessage::user("hi")}),
              "azure says hi");

    const auto request = stub.requests().at(0);
    EXPECT_EQ(request.path, "/openai/deployments/dep35/chat/completions");
    EXPECT_EQ(request.query, "api-version=2024-02-01");
    EXPECT_EQ(request.header("api-key"), "azure-key-456");
    EXPECT_EQ(request.header("authorization"), "");
    EXPECT_EQ(request.body["max_tokens"], 4096);
    EXPECT_EQ(request.body["temperature"], 0.0);
    EXPECT_EQ(request.body["top_p"], 0.95);
    EXPECT_EQ(request.body["messages"][0]["role"], "system");
    EXPECT_EQ(request.body["messages"][1]["content"], "hi");
}

TEST(ChatModelShapes, SettingsRecordsThatDoubleOrMissSettingsAreRefused) {
    ChatStub stub;
    for (const char* doubled : {"max_tokens", "temperature", "model_kwargs"}) {
        Value fields = azure_fields(stub);
        fields[doubled] = 1;
        try {
            AzureChatOpenAI::from_fields(fields, 4096, 0, Value::object());
            ADD_FAILURE() << doubled << " was accepted twice";
        } catch (const TypeError& error) {
            EXPECT_NE(std::string(error.what()).find(doubled), std::string::npos) << error.what();
        }
    }
    Value unknown = azure_fields(stub);
    unknown["colour"] = "blue";
    EXPECT_THROW(AzureChatOpenAI::from_fields(unknown, 10, 0, Value::object()), TypeError);

    testing::EnvGuard no_endpoint("AZURE_OPENAI_ENDPOINT", std::nullopt);
    Value absent = azure_fields(stub);
    absent["azure_endpoint"] = nullptr;
    EXPECT_THROW(AzureChatOpenAI::from_fields(absent, 10, 0, Value::object()), ValueError);
    EXPECT_THROW(AzureChatOpenAI::from_fields(azure_fields(stub), 10, 0, {{"temperature", 1}}), ValueError);
}

TEST(StructuredOutput, FunctionCallingFillsTheRecord) {
    ChatStub stub(Value::array({{{"match", {{"tool", "RelevantTablesOutput"}}},
                                 {"structured", {{"relevant_tables", {"Album", "Artist"}}, {"extra", 1}}}}}));
    auto structured = openai_model(stub)->with_structured_output(tables_schema);
    const Value result = structured->invoke("Which tables hold albums?");
    EXPECT_EQ(result, Value::parse(R"({"relevant_tables":["Album","Artist"]})"));

    const Value body = stub.requests().at(0).body;
    EXPECT_EQ(body["tool_choice"],
              Value::parse(R"({"type":"function","function":{"name":"RelevantTablesOutput"}})"));
    const Value& parameters = body["tools"][0]["function"]["parameters"];
    EXPECT_EQ(parameters["properties"]["relevant_tables"]["type"], "array");
    EXPECT_EQ(parameters["properties"]["relevant_tables"]["description"], "List of relevant table names");
    EXPECT_EQ(parameters["required"], Value::array({"relevant_tables"}));
}

TEST(StructuredOutput, JsonSchemaFormatFillsTheRecord) {
    const StructuredSchema generation{
        "GenerationOutput",
        {{"image_path", FieldType::text, "image path generated if exists in context"},
         {"final_response", FieldType::text, "final response"}}};
    ChatStub stub(Value::array({{{"structured", {{"final_response", "Rock leads."}, {"image_path", ""}}}}}));
    const Value result =
        openai_model(stub)->with_structured_output(generation, StructuredMethod::json_schema)->invoke("q");
    // Schema order, whatever order the model wrote.
    EXPECT_EQ(result.dump(), R"({"image_path":"","final_response":"Rock leads."})");
    const Value format = stub.requests().at(0).body["response_format"];
    EXPECT_EQ(format["type"], "json_schema");
    EXPECT_EQ(format["json_schema"]["name"], "GenerationOutput");
    EXPECT_EQ(format["json_schema"]["strict"], true);
    EXPECT_EQ(format["json_schema"]["schema"]["additionalProperties"], false);
}

TEST(StructuredOutput, RepliesThatDoNotFitNameTheProblem) {
    const struct {
        Value reply;
        std::string expected;
    } cases[] = {
        {{{"tool_call", {{"name", "RelevantTablesOutput"}, {"arguments", {{"tables", {"Album"}}}}}}},
         "'relevant_tables' is missing"},
        {{{"tool_call", {{"name", "RelevantTablesOutput"}, {"arguments", {{"relevant_tables", "Album"}}}}}},
         "should be a list of texts, got a text"},
        {{{"tool_call",
           {{"name", "RelevantTablesOutput"}, {"arguments", {{"relevant_tables", {"Album", 3}}}}}}},
         "should be a list of texts"},
        {{{"content", "Album and Artist"}}, "no tool call"},
        {{{"tool_call",
           {{"name", "RelevantTablesOutput"}, {"arguments", "{\"relevant_tables\": [\"Album\""}}}},
         "not valid JSON"},
        {{{"tool_call", {{"name", "other_tool"}, {"arguments", "{}"}}}}, "calls 'other_tool'"},
    };
    for (const auto& item : cases) {
        ChatStub stub(Value::array({item.reply}));
        auto structured = openai_model(stub)->with_structured_output(tables_schema);
        try {
            structured->invoke("q");
            ADD_FAILURE() << "accepted " << item.reply.dump();
        } catch (const ModelServiceError& error) {
            EXPECT_NE(std::string(error.what()).find(item.expected), std::string::npos) << error.what();
            EXPECT_NE(std::string(error.what()).find("RelevantTablesOutput"), std::string::npos)
                << error.what();
        }
    }
}

TEST(Resilience, RetriesOn429And500ThenSucceeds) {
    ChatStub stub(Value::array({{{"status", 429}, {"retry_after", 1}, {"error", "Rate limit reached"}},
                                {{"status", 500}, {"error", "boom"}},
                                {{"content", "third time lucky"}}}));
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(openai_model(stub)->invoke("q"), "third time lucky");
    const auto waited = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(stub.request_count(), 3u);
    // Retry-After: 1 is honoured instead of the 10 ms backoff.
    EXPECT_GE(waited, milliseconds(950));
    EXPECT_LT(waited, milliseconds(3000));
}

TEST(Resilience, GivesUpWithTheStatusAndTheServiceMessage) {
    ChatStub stub(Value::array(
        {{{"status", 503}, {"error", "overloaded, key sk-test-secret-123 is fine"}, {"repeat", true}}}));
    try {
        openai_model(stub)->invoke("q");
        FAIL() << "no error";
    } catch (const ServiceStatusError& error) {
        const std::string what = error.what();
        EXPECT_EQ(error.status(), 503);
        EXPECT_NE(what.find("503"), std::string::npos) << what;
        EXPECT_NE(what.find("overloaded"), std::string::npos) << what;
        EXPECT_NE(what.find("3 attempts"), std::string::npos) << what;
        EXPECT_EQ(what.find("sk-test-secret-123"), std::string::npos) << what;
    }
    EXPECT_EQ(stub.request_count(), 3u);

    // A refusal that retrying cannot mend is reported at once.
    ChatStub refusing(Value::array({{{"status", 401}, {"error", "Incorrect API key"}, {"repeat", true}}}));
    EXPECT_THROW(openai_model(refusing)->invoke("q"), ServiceStatusError);
    EXPECT_EQ(refusing.request_count(), 1u);
}

TEST(Resilience, TimeLimitsEndStalledCalls) {
    ChatStub stub(Value::array({{{"stall_ms", 3000}, {"content", "too late"}, {"repeat", true}}}));
    const auto started = std::chrono::steady_clock::now();
    EXPECT_THROW(openai_model(stub, fast_settings(0, milliseconds(200)))->invoke("q"), ServiceTimeoutError);
    EXPECT_LT(std::chrono::steady_clock::now() - started, milliseconds(1500));

    // A quick failure leaves time for a retry within the same limit.
    ChatStub recovering(Value::array({{{"status", 500}, {"error", "boom"}}, {{"content", "in time"}}}));
    EXPECT_EQ(openai_model(recovering, fast_settings(1, milliseconds(2000)))->invoke("q"), "in time");
    EXPECT_EQ(recovering.request_count(), 2u);
}

// The time limit is a deadline for the call as a whole: attempts, waits and retries together.
class CallDeadline : public ::testing::Test {
protected:
    static ModelSettings settings(milliseconds limit, milliseconds backoff) {
        ModelSettings s = fast_settings(2, limit);
        s.retry.initial_delay = backoff;
        s.retry.jitter = 0;
        return s;
    }
    // Runs one call and gives its time; the call must fail with E.
    template <class E>
    milliseconds failing_call(ChatStub& stub, const ModelSettings& s, std::string* what = nullptr) {
        const auto started = std::chrono::steady_clock::now();
        try {
            openai_model(stub, s)->invoke("q");
            ADD_FAILURE() << "the call succeeded";
        } catch (const E& error) {
            if (what) *what = error.what();
        }
        return std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - started);
    }
};

TEST_F(CallDeadline, AStalledAttemptUsesTheWholeLimitAndIsNotRetried) {
    ChatStub stub(Value::array({{{"stall_ms", 5000}, {"content", "too late"}, {"repeat", true}}}));
    const milliseconds took =
        failing_call<ServiceTimeoutError>(stub, settings(milliseconds(400), milliseconds(10)));
    EXPECT_GE(took, milliseconds(380));
    EXPECT_LT(took, milliseconds(900));  // three attempts of 400 ms each would take 1.2 s
    EXPECT_EQ(stub.request_count(), 1u);
}

TEST_F(CallDeadline, ARetryGetsOnlyWhatIsLeft) {
    ChatStub stub(Value::array({{{"status", 500}, {"error", "boom"}},
                                {{"stall_ms", 5000}, {"content", "too late"}, {"repeat", true}}}));
    const milliseconds took =
        failing_call<ServiceTimeoutError>(stub, settings(milliseconds(600), milliseconds(100)));
    EXPECT_GE(took, milliseconds(550));
    EXPECT_LT(took, milliseconds(1000));  // not 100 ms of backoff plus a fresh 600 ms
    EXPECT_EQ(stub.request_count(), 2u);
}

TEST_F(CallDeadline, ABackoffLongerThanWhatIsLeftEndsTheCallAtOnce) {
    ChatStub stub(Value::array({{{"status", 503}, {"error", "overloaded"}, {"repeat", true}}}));
    std::string what;
    const milliseconds took =
        failing_call<ServiceStatusError>(stub, settings(milliseconds(500), milliseconds(800)), &what);
    EXPECT_LT(took, milliseconds(300));
    EXPECT_EQ(stub.request_count(), 1u);
    EXPECT_NE(what.find("overloaded"), std::string::npos) << what;
}

TEST_F(CallDeadline, ARetryAfterLongerThanWhatIsLeftFailsWithTheServicesMessage) {
    ChatStub stub(Value::array({{{"status", 429},
                                 {"retry_after", 5},
                                 {"error", "Rate limit reached, retry in 5 s"},
                                 {"repeat", true}}}));
    std::string what;
    const milliseconds took =
        failing_call<ServiceStatusError>(stub, settings(milliseconds(2000), milliseconds(10)), &what);
    EXPECT_LT(took, milliseconds(500));  // not 5 s of waiting
    EXPECT_EQ(stub.request_count(), 1u);
    EXPECT_NE(what.find("429"), std::string::npos) << what;
    EXPECT_NE(what.find("Rate limit reached, retry in 5 s"), std::string::npos) << what;
    EXPECT_NE(what.find("asks to wait 5.0 s"), std::string::npos) << what;

    // One that fits is waited for, as before, whatever its length against the old cap.
    ChatStub fitting(Value::array(
        {{{"status", 429}, {"retry_after", "0.3"}, {"error", "slow down"}}, {{"content", "ok"}}}));
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(openai_model(fitting, settings(milliseconds(2000), milliseconds(10)))->invoke("q"), "ok");
    EXPECT_GE(std::chrono::steady_clock::now() - started, milliseconds(280));
}

TEST(Resilience, MalformedBodiesAndDeadServersAreModelServiceErrors) {
    ChatStub stub(Value::array({{{"body", "{\"choices\": [ oops"}},
                                {{"body", "{\"choices\": []}"}},
                                {{"body", "{\"object\": \"chat.completion\"}"}}}));
    auto model = openai_model(stub);
    const char* expected[] = {"not JSON", "no choices", "no choices"};
    for (const char* text : expected) {
        try {
            model->invoke("q");
            ADD_FAILURE() << "accepted a malformed reply";
        } catch (const ModelServiceError& error) {
            EXPECT_NE(std::string(error.what()).find(text), std::string::npos) << error.what();
        }
    }

    auto dead = std::make_unique<ChatStub>();
    auto orphan = openai_model(*dead);
    dead.reset();
    EXPECT_THROW(orphan->invoke("q"), ServiceConnectionError);
}

}  // namespace
}  // namespace veltaai::llm
