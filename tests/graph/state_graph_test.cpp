// The state-graph runtime on small graphs: merge rules, what a node sees, steps of several
// nodes, routing, limits, errors, run events and drawing.

#include "veltaai/graph/state_graph.h"

#include "veltaai/core/run_context.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

namespace veltaai::graph {
namespace {

using namespace std::chrono_literals;

const StateSchema kSchema = {
    {"text", MergeRule::replace}, {"items", MergeRule::append}, {"count", MergeRule::add}};

Node returning(Value update) {
    return [update](StateView&) { return update; };
}

struct Boom : std::runtime_error {
    using std::runtime_error::runtime_error;
};

TEST(Merging, FollowsEachKeysRuleAndDropsUndeclaredKeys) {
    StateGraph g(kSchema);
    g.add_node("a", returning({{"items", {"y"}}, {"count", 3}, {"stray", 5}, {"text", "b"}}));
    g.add_node("b", [](StateView& view) {  // changes its own copy only
        view.record()["text"] = "changed";
        return Value::object();
    });
    g.set_entry_point("a").add_edge("a", "b").add_edge("b", END);
    const CompiledGraph compiled = g.compile();
    EXPECT_EQ(compiled.invoke({{"stray", 1}, {"count", 2}, {"items", {"x"}}, {"text", "a"}}).dump(),
              R"({"text":"b","items":["x","y"],"count":5})");
    EXPECT_EQ(compiled.invoke(Value::object())["count"], 3) << "an add key starts from 0";
    EXPECT_THROW(compiled.invoke(Value::array()), TypeError);

    for (const Value& bad : {Value{{"items", "not a list"}}, Value::array({1})}) {
        StateGraph wrong(kSchema);
        EXPECT_THROW(
            wrong.add_node("a", returning(bad)).set_entry_point("a").compile().invoke(Value::object()),
            TypeError);
    }
}

TEST(Merging, AListEditedInPlaceIsSeenByTheNextNode) {
    Value seen;
    StateGraph g(kSchema);
    g.add_node("edit", [](StateView& view) {
        view.list("items")[0] = "edited";
        return Value();
    });
    g.add_node("read", [&seen](StateView& view) {
        seen = view.at("items");
        return Value();
    });
    g.set_entry_point("edit").add_edge("edit", "read");
    EXPECT_EQ(g.compile().invoke({{"items", {"x"}}})["items"], Value({"edited"}));
    EXPECT_EQ(seen, Value({"edited"}));
}

// fan -> {slow, fast} -> join: slow and fast share a step, append to one list and route on it.
TEST(Steps, NodesOfOneStepSeeTheStepsStartAndAllTheirUpdatesLand) {
    for (const auto& [concurrency, peak_expected] :
         {std::pair{std::optional<int>(), 2}, {std::optional<int>(1), 1}, {std::optional<int>(2), 2}}) {
        std::mutex mutex;
        std::map<std::string, Value> node_saw, condition_saw;
        std::map<std::string, std::shared_ptr<void>> context_saw;
        std::atomic<int> active{0}, peak{0};
        std::thread::id fan_thread;
        const auto branch = [&](const std::string& name, int add) {
            return [&, name, add](StateView& view) {
                const int now = ++active;
                for (int seen = peak; now > seen && !peak.compare_exchange_weak(seen, now);) {
                }
                std::this_thread::sleep_for(name == "slow" ? 100ms : 50ms);
                --active;
                const std::lock_guard lock(mutex);
                node_saw[name] = view.at("items");
                context_saw[name] = RunContext::current().get("run");
                return Value{{"items", {name}}, {"count", add}};
            };
        };
        const auto recorder = [&](const std::string& name) {
            return [&, name](const StateView& view) {
                const std::lock_guard lock(mutex);
                condition_saw[name] = {view.at("items"), view.at("count")};
                return std::string("on");
            };
        };
        StateGraph g(kSchema);
        g.add_node("fan", [&](StateView&) {
            fan_thread = std::this_thread::get_id();  // one node alone costs no thread
            return Value{{"items", {"start"}}};
        });
        g.set_entry_point("fan");
        g.add_node("slow", branch("slow", 1))
            .add_node("fast", branch("fast", 2))
            .add_node("join", returning({{"count", 100}}));
        g.add_edge("fan", "slow").add_edge("fan", "fast").add_edge("slow", "join").add_edge("fast", "join");
        g.add_conditional_edges("slow", recorder("slow"), {{"on", "join"}});
        g.add_conditional_edges("fast", recorder("fast"), {{"on", END}});
        RunConfig config;
        config.max_concurrency = concurrency;
        const auto run_marker = std::make_shared<int>(7);
        const RunContext::Scope in_run(RunContext().with("run", run_marker));
        const Value state = g.compile().invoke(Value::object(), config);

        EXPECT_EQ(state["items"], Value({"start", "slow", "fast"})) << "merged in node order";
        EXPECT_EQ(state["count"], 103) << "join runs once although three edges lead to it";
        EXPECT_EQ(node_saw["fast"], Value({"start"}));
        EXPECT_EQ(node_saw["slow"], Value({"start"}));
        EXPECT_EQ(condition_saw["slow"], Value({{"start", "slow"}, 1})) << "its own update only";
        EXPECT_EQ(condition_saw["fast"], Value({{"start", "fast"}, 2}));
        EXPECT_EQ(peak.load(), peak_expected) << "at most max_concurrency nodes at once";
        EXPECT_EQ(fan_thread, std::this_thread::get_id());
        EXPECT_EQ(context_saw["slow"], run_marker) << "worker threads work for the caller's run";
        EXPECT_EQ(context_saw["fast"], run_marker);
    }
}

TEST(Errors, ReachTheCallerAsRaisedAndAreReportedAsEvents) {
    std::vector<std::string> events;
    RunConfig config;
    config.observer = [&](const RunEvent& e) {
        events.push_back(std::to_string(static_cast<int>(e.kind)) + " " + std::string(e.node) + " " +
                         std::to_string(e.step));
    };
    StateGraph g(kSchema);
    g.add_node("ok", returning(Value())).add_node("boom", [](StateView&) -> Value { throw Boom("boom"); });
    g.add_node("missing", [](StateView& view) { return Value{{"text", view.at("other")}}; });
    g.set_entry_point("ok").add_edge("ok", "boom").add_edge("ok", "missing");
    EXPECT_THROW(g.compile().invoke(Value::object(), config), Boom);  // from a step of two nodes
    EXPECT_EQ(std::vector(events.begin(), events.begin() + 2),
              (std::vector<std::string>{"0 ok 1", "1 ok 1"}));
    EXPECT_NE(std::find(events.begin(), events.end(), "2 boom 2"), events.end());

    try {
        StateGraph alone(kSchema);
        alone.add_node("missing", [](StateView& view) { return Value{{"text", view.at("other")}}; });
        alone.set_entry_point("missing").compile().invoke(Value::object());
        FAIL() << "expected KeyError";
    } catch (const KeyError& e) {
        EXPECT_EQ(e.key(), "other");
    }
}

TEST(Routing, UnknownRoutesLoopsAndIncompleteGraphsAreRefused) {
    StateGraph g(kSchema);
    g.add_node("a", returning({{"count", 1}})).add_node("b", returning(Value()));
    g.set_entry_point("a").add_edge("b", "a");
    g.add_conditional_edges("a", [](const StateView& view) { return view.at("text").get<std::string>(); },
                            {{"loop", "b"}, {"stop", END}});
    const CompiledGraph compiled = g.compile();
    EXPECT_EQ(compiled.invoke({{"text", "stop"}})["count"], 1);
    EXPECT_THROW(compiled.invoke({{"text", "elsewhere"}}), InvalidRouteError);

    int steps = 0;
    RunConfig config;
    config.recursion_limit = 5;
    config.observer = [&](const RunEvent& e) { steps = e.step; };
    EXPECT_THROW(compiled.invoke({{"text", "loop"}}, config), GraphRecursionError);
    EXPECT_EQ(steps, 5);

    EXPECT_THROW(g.add_node("a", returning(Value())), ValueError);
    EXPECT_THROW(g.add_node(END, returning(Value())), ValueError);
    EXPECT_THROW(StateGraph(kSchema).add_node("x", returning(Value())).compile(), ValueError)
        << "no entry point";
    EXPECT_THROW(g.add_edge("a", "nowhere").compile(), ValueError);
}

TEST(Routing, AStepWithTwoWritersOfOneReplacedKeyAndASecondEntryPointAreRefused) {
    StateGraph g(kSchema);
    g.add_node("fan", returning(Value()))
        .add_node("left", returning({{"text", "l"}, {"items", {"l"}}, {"count", 1}}));
    g.add_node("right", returning({{"text", "r"}, {"items", {"r"}}, {"count", 1}}));
    g.set_entry_point("fan").add_edge("fan", "left").add_edge("fan", "right");
    try {
        g.compile().invoke(Value::object());
        ADD_FAILURE() << "two writers of 'text' in one step";
    } catch (const InvalidUpdateError& e) {
        EXPECT_STREQ(
            e.what(),
            "nodes 'left' and 'right' both wrote 'text' in step 2; a replaced key takes one value per step");
    }

    // Appended and added keys take every writer's value.
    StateGraph shared(kSchema);
    shared.add_node("fan", returning(Value())).add_node("left", returning({{"items", {"l"}}, {"count", 1}}));
    shared.add_node("right", returning({{"text", "r"}, {"items", {"r"}}, {"count", 2}}));
    shared.add_edge(START, "fan").add_edge("fan", "left").add_edge("fan", "right");
    const Value state = shared.compile().invoke(Value::object());
    EXPECT_EQ(state["items"], Value({"l", "r"}));
    EXPECT_EQ(state["count"], 3);
    EXPECT_EQ(state["text"], "r");

    EXPECT_NO_THROW(shared.add_edge(START, "fan")) << "the same entry point again";
    try {
        shared.add_edge(START, "left");
        ADD_FAILURE() << "a second entry point";
    } catch (const ValueError& e) {
        EXPECT_STREQ(e.what(), "the graph already starts at 'fan'; it cannot also start at 'left'");
    }
    EXPECT_THROW(shared.set_entry_point("right"), ValueError);
}

TEST(Drawing, ListsNodesAndLabelledEdges) {
    StateGraph g(kSchema);
    g.add_node("check", returning(Value())).add_node("fix", returning(Value()));
    g.set_entry_point("check").add_edge("fix", "check");
    g.add_conditional_edges("check", [](const StateView&) { return std::string("ok"); },
                            {{"ok", END}, {"bad \"x\"", "fix"}});
    const DrawableGraph drawing = g.compile().get_graph();
    EXPECT_EQ(drawing.draw_ascii(),
              "__start__\n  ---> check\ncheck\n  -.-> __end__  [ok]\n  -.-> fix      [bad \"x\"]\nfix\n  "
              "---> check\n__end__\n");
    EXPECT_EQ(drawing.draw_mermaid(),
              "flowchart TD\n    __start__([\"__start__\"])\n    check[\"check\"]\n    fix[\"fix\"]\n    "
              "__end__([\"__end__\"])\n"
              "    __start__ --> check\n    fix --> check\n    check -.->|\"ok\"| __end__\n"
              "    check -.->|\"bad #quot;x#quot;\"| fix\n");
}

}  // namespace
}  // namespace veltaai::graph
