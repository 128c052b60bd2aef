#include "veltaai/core/dotenv.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

namespace veltaai {
namespace {

class DotenvTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() / ("veltaai-dotenv-" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir_ / "nested");
        std::ofstream(dir_ / ".env") << "# comment\n"
                                        "VELTAAI_T_PLAIN=plain value # trailing\n"
                                        "export VELTAAI_T_EXPORTED=yes\n"
                                        "VELTAAI_T_QUOTED=\"line\\nbreak\"\n"
                                        "VELTAAI_T_SINGLE='$not #expanded'\n"
                                        "VELTAAI_T_EMPTY=\n"
                                        "VELTAAI_T_KEPT=from file\n"
                                        "not a pair\n";
        ::setenv("VELTAAI_T_KEPT", "from process", 1);
        previous_ = std::filesystem::current_path();
    }
    void TearDown() override {
        std::filesystem::current_path(previous_);
        std::filesystem::remove_all(dir_);
        for (const char* name : {"VELTAAI_T_PLAIN", "VELTAAI_T_EXPORTED", "VELTAAI_T_QUOTED",
                                 "VELTAAI_T_SINGLE", "VELTAAI_T_EMPTY", "VELTAAI_T_KEPT"}) {
            ::unsetenv(name);
        }
    }
    std::filesystem::path dir_;
    std::filesystem::path previous_;
};

TEST_F(DotenvTest, LoadsFromParentDirectoryAndKeepsExistingVariables) {
    std::filesystem::current_path(dir_ / "nested");
    ASSERT_TRUE(load_dotenv());
    EXPECT_STREQ(std::getenv("VELTAAI_T_PLAIN"), "plain value");
    EXPECT_STREQ(std::getenv("VELTAAI_T_EXPORTED"), "yes");
    EXPECT_STREQ(std::getenv("VELTAAI_T_QUOTED"), "line\nbreak");
    EXPECT_STREQ(std::getenv("VELTAAI_T_SINGLE"), "$not #expanded");
    ASSERT_NE(std::getenv("VELTAAI_T_EMPTY"), nullptr);
    EXPECT_STREQ(std::getenv("VELTAAI_T_EMPTY"), "");
    EXPECT_STREQ(std::getenv("VELTAAI_T_KEPT"), "from process");
}

TEST_F(DotenvTest, MissingFileIsNotAnError) {
    EXPECT_FALSE(load_dotenv(dir_ / "absent.env"));
}

}  // namespace
}  // namespace veltaai
