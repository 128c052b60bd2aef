#include "veltaai/python/kernel.h"
#include "veltaai/querygraph/querynodes.h"

#include "host_output.h"

#include <gtest/gtest.h>

using namespace veltaai;
using querygraph::PandasExecutor;

namespace {

class PandasExecutorTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        python::KernelOptions options = python::default_analysis_kernel_options();
        options.time_limit = std::chrono::milliseconds(1500);
        python::configure_analysis_kernel(options);
    }

    Value run(const std::string& code) {
        Value state = {{"pandas_code", code}, {"python_executed_output", "earlier"}};
        graph::StateView view(state);
        return node.invoke(view);
    }

    PandasExecutor node{nullptr};
};

Value success(const std::string& output) {
    return {{"python_executed_output", output}, {"python_execution_success", true}};
}

Value failure(const std::string& message) {
    return {{"python_execution_success", false}, {"python_error_message", message}};
}

}  // namespace

TEST_F(PandasExecutorTest, PrintsAreTheOutputAndNeverReachTheHost) {
    HostOutput host;
    EXPECT_EQ(run("print('total', 3)"), success("total 3\n"));
    EXPECT_EQ(run("x = [1, 2]"), success(""));
    EXPECT_EQ(run("1/0")["python_execution_success"], false);
    std::cout << "host after failure" << std::endl;
    EXPECT_EQ(host.finish(), "host after failure\n");
}

TEST_F(PandasExecutorTest, ErrorsBecomeKindColonMessage) {
    EXPECT_EQ(run("print('partial')\n1/0"), failure("ZeroDivisionError: division by zero"));
    EXPECT_EQ(run("df = pd.DataFrame()"), failure("NameError: name 'pd' is not defined"));
    const Value syntax = run("def broken(:\n    pass");
    EXPECT_EQ(syntax["python_execution_success"], false);
    EXPECT_EQ(syntax["python_error_message"].get<std::string>().rfind("SyntaxError: ", 0), 0u);
    EXPECT_EQ(run("open('/nonexistent/data.csv')"),
              failure("FileNotFoundError: [Errno 2] No such file or directory: '/nonexistent/data.csv'"));
}

TEST_F(PandasExecutorTest, NamespaceHoldsOnlyDatetimeAndIsFreshEachRun) {
    EXPECT_EQ(run("print(datetime.date(2024, 1, 5))"), success("2024-01-05\n"));
    EXPECT_EQ(run("print(sorted(k for k in globals() if k != '__builtins__'))"), success("['datetime']\n"));
    EXPECT_EQ(run("left_over = 1"), success(""));
    EXPECT_EQ(run("print(left_over)"), failure("NameError: name 'left_over' is not defined"));
    // Work under a main-program guard does not run.
    EXPECT_EQ(run("if __name__ == '__main__':\n    print('ran as main')"), success(""));
    // Pandas and matplotlib import and draw into files only.
    EXPECT_EQ(run("import pandas as pd, matplotlib\nprint(matplotlib.get_backend(), pd.DataFrame({'a': [1, "
                  "2]})['a'].sum())"),
              success("agg 3\n"));
}

TEST_F(PandasExecutorTest, ExitEndsTheRunButNotTheHost) {
    EXPECT_THROW(run("import sys\nsys.exit(2)"), PythonExit);
    EXPECT_THROW(run("import os\nos._exit(3)"), PythonExit);
    EXPECT_EQ(run("print('still here')"), success("still here\n"));
}

TEST_F(PandasExecutorTest, EndlessLoopAndCrashAreFailures) {
    const Value loop = run("while True:\n    pass");
    EXPECT_EQ(loop["python_execution_success"], false);
    EXPECT_EQ(loop["python_error_message"].get<std::string>().rfind("TimeoutError: ", 0), 0u) << loop;
    const Value crash = run("import ctypes\nctypes.string_at(0)");
    EXPECT_EQ(crash["python_execution_success"], false);
    EXPECT_NE(crash["python_error_message"].get<std::string>().find("Segmentation fault"), std::string::npos)
        << crash;
    EXPECT_EQ(run("print('next')"), success("next\n"));
}

TEST_F(PandasExecutorTest, RefusesStatesThatAreNotRecordsAndNeedsTheCode) {
    Value list = Value::array();
    EXPECT_THROW(graph::StateView view(list), TypeError);
    Value empty = Value::object();
    graph::StateView view(empty);
    EXPECT_THROW(node.invoke(view), KeyError);
}

TEST_F(PandasExecutorTest, PromptIsTheSystemTemplateAsOneHumanMessage) {
    Value state = {{"original_question", "q"},
                   {"follow_up_question", {"f1"}},
                   {"generated_sql_query", {"SELECT 1", "SELECT 2"}},
                   {"sql_execution_result", {"[(1,)]"}},
                   {"save_path", "/tmp/plots"}};
    graph::StateView view(state);
    const llm::ChatMessages messages = node.generate_prompt(view);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].role, "user");
    EXPECT_EQ(messages[0].content.rfind("\"\nYou are an pandas assistant code. \n", 0), 0u);
    EXPECT_NE(messages[0].content.find("save it in /tmp/plots - matplotlib"), std::string::npos);
}
