#pragma once
// What the node tests share: the scripted chat server over real HTTP, a chat model pointed at
// it, the read-only Chinook file, and readers of the requests the nodes sent.

#include "stubs/chat_stub.h"
#include "tests/sql/test_servers.h"
#include "veltaai/core/log.h"
#include "veltaai/llm/chat_openai.h"
#include "veltaai/querygraph/custom_sql.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace veltaai::querygraph::testing {

// A structured reply of the stub, answered as a call of the forced function.
inline Value structured(Value record) { return {{"structured", std::move(record)}}; }

// What run printed to standard error with the log at info level (the default is quieter).
template <class F>
std::string logged_at_info(F run) {
    const log::Level previous = log::level();
    log::set_level(log::Level::info);
    ::testing::internal::CaptureStderr();
    try {
        run();
    } catch (...) {
        ::testing::internal::GetCapturedStderr();
        log::set_level(previous);
        throw;
    }
    log::set_level(previous);
    return ::testing::internal::GetCapturedStderr();
}

class NodeTest : public ::testing::Test {
protected:
    std::shared_ptr<llm::ChatModel> model() {
        llm::ChatOpenAIOptions options;
        options.openai_api_key = "sk-node-test";
        options.model = "gpt-4o";
        options.base_url = stub.openai_base_url();
        options.settings.retry.max_retries = 0;
        return std::make_shared<llm::ChatOpenAI>(std::move(options));
    }

    static std::shared_ptr<CustomSQLDatabase> chinook() {
        return CustomSQLDatabase::from_uri("sqlite:///" + veltaai::testing::chinook_sqlite());
    }

    // The messages of the only request the stub received.
    Value sent_messages() {
        const auto requests = stub.requests();
        EXPECT_EQ(requests.size(), 1u);
        return requests.empty() ? Value::array() : requests.back().body["messages"];
    }

    stubs::ChatStub stub;
};

}  // namespace veltaai::querygraph::testing
