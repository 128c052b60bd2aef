#pragma once
// A test that needs the database test servers: env says where they listen, and the test fails
// (never skips) when they are not running.

#include "tests/sql/test_servers.h"

#include <gtest/gtest.h>

namespace veltaai::testing {

class ServerFixture : public ::testing::Test {
protected:
    void SetUp() override {
        auto found = server_env();
        ASSERT_TRUE(found) << kStartServers;
        env = *found;
    }

    ServerEnv env;
};

}  // namespace veltaai::testing
