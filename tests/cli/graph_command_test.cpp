// `veltaai graph` draws the query graph from its wiring alone: no credentials, no database and
// no Python interpreter are needed.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <memory>
#include <string>

namespace {

struct Finished {
    int status = -1;
    std::string out;
};

Finished run(const std::string& command) {
    Finished done;
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    char buffer[4096];
    while (const std::size_t n = fread(buffer, 1, sizeof buffer, pipe.get())) done.out.append(buffer, n);
    const int status = pclose(pipe.release());
    done.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return done;
}

TEST(GraphCommand, DrawsWithoutCredentialsDatabaseOrInterpreter) {
    // An interpreter that cannot start would fail any command that started one.
    const Finished done = run(std::string("env -i PATH=/usr/bin:/bin VELTAAI_PYTHON=/nonexistent/python3 '") +
                              VELTAAI_PROGRAM + "' graph 2>&1");
    ASSERT_EQ(done.status, 0) << done.out;
    EXPECT_EQ(done.out.rfind("__start__\n  ---> init_node\n", 0), 0u) << done.out;
    for (const char* line :
         {"sql_error_handler_node\n  -.-> sql_generation_node             [regenerate_sql_query]\n"
          "  -.-> final_response_generation_node  [terminal_failure_response]\n"
          "  -.-> rewrite_query_node              [rewrite_query]\n__end__\n",
          "rewrite_query_node\n  ---> relevant_table_names_node\n"}) {
        EXPECT_NE(done.out.find(line), std::string::npos) << line << "\n" << done.out;
    }
}

TEST(GraphCommand, PrintsTheMermaidTextWithoutTheNetworkAndTheVersion) {
    // A rendering service that cannot be reached: the Mermaid text needs none.
    const Finished done =
        run(std::string("env -i PATH=/usr/bin:/bin VELTAAI_MERMAID_URL=http://127.0.0.1:9 '") +
            VELTAAI_PROGRAM + "' graph --mermaid 2>&1");
    ASSERT_EQ(done.status, 0) << done.out;
    EXPECT_EQ(done.out.rfind("flowchart TD\n", 0), 0u) << done.out;
    for (const char* edge :
         {"__start__ --> init_node", "sql_error_handler_node -.->|\"rewrite_query\"| rewrite_query_node",
          "final_response_generation_node --> __end__"}) {
        EXPECT_NE(done.out.find(edge), std::string::npos) << edge << "\n" << done.out;
    }
    EXPECT_EQ(run(std::string("'") + VELTAAI_PROGRAM + "' graph --mermaid --png x.png 2>&1").status, 2);

    const Finished version = run(std::string("'") + VELTAAI_PROGRAM + "' --version");
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, std::string("veltaai ") + VELTAAI_VERSION + "\n");
}

}  // namespace
