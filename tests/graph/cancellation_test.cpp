// Stopping a run: the host's token and the deadline, seen between steps and by the threads
// of the run through its context.
#include "veltaai/graph/state_graph.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace veltaai::graph {
namespace {

using namespace std::chrono_literals;

// a -> b -> c, each counting its calls; b also runs `during` (as a node would make a call).
struct Chain {
    std::atomic<int> calls{0};
    std::function<void()> during = [] {};
    CompiledGraph compiled = [this] {
        StateGraph graph(StateSchema{{"n", MergeRule::add}});
        for (const char* name : {"a", "b", "c"}) {
            graph.add_node(name, [this, name](StateView&) -> Value {
                ++calls;
                if (std::string(name) == "b") during();
                return {{"n", 1}};
            });
        }
        graph.add_edge(START, "a").add_edge("a", "b").add_edge("b", "c").add_edge("c", END);
        return graph.compile();
    }();
};

TEST(RunCancellation, StopsBetweenStepsAndIsVisibleInsideTheRun) {
    Chain chain;
    RunConfig config;
    auto token = std::make_shared<Cancellation>();
    config.cancellation = token;
    std::shared_ptr<const Cancellation> seen;
    chain.during = [&] {
        seen = Cancellation::current();
        token->cancel();  // as the host would from another thread
    };
    EXPECT_THROW(chain.compiled.invoke(Value::object(), config), RunCancelled);
    EXPECT_EQ(chain.calls.load(), 2);  // c never ran
    ASSERT_TRUE(seen);
    EXPECT_TRUE(seen->cancelled());
    EXPECT_EQ(Cancellation::current(), nullptr);  // the run's context is gone with it

    // A token cancelled before the run: nothing runs.
    chain.calls = 0;
    EXPECT_THROW(chain.compiled.invoke(Value::object(), config), RunCancelled);
    EXPECT_EQ(chain.calls.load(), 0);

    // Without a token or deadline nothing is installed and the run ends normally.
    chain.calls = 0;
    chain.during = [&] { seen = Cancellation::current(); };
    EXPECT_EQ(chain.compiled.invoke(Value::object())["n"], 3);
    EXPECT_EQ(seen, nullptr);
}

TEST(RunCancellation, ADeadlineEndsTheRunAndTheEarlierOfTwoDeadlinesCounts) {
    Chain chain;
    chain.during = [] { std::this_thread::sleep_for(60ms); };
    RunConfig config;
    config.deadline = std::chrono::steady_clock::now() + 30ms;
    EXPECT_THROW(chain.compiled.invoke(Value::object(), config), DeadlineExceeded);
    EXPECT_EQ(chain.calls.load(), 2);

    // The host's token carries an earlier deadline than the run's own.
    chain.calls = 0;
    config.cancellation = std::make_shared<Cancellation>(std::chrono::steady_clock::now() + 30ms);
    config.deadline = std::chrono::steady_clock::now() + 1h;
    EXPECT_THROW(chain.compiled.invoke(Value::object(), config), DeadlineExceeded);
    EXPECT_EQ(chain.calls.load(), 2);

    chain.calls = 0;
    config.cancellation = nullptr;
    EXPECT_EQ(chain.compiled.invoke(Value::object(), config)["n"], 3);
}

}  // namespace
}  // namespace veltaai::graph
