#include "veltaai/graph/state_graph.h"

#include "veltaai/core/run_context.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <exception>
#include <mutex>
#include <string_view>
#include <system_error>
#include <thread>
#include <unordered_map>

namespace veltaai::graph {

// Targets are node positions; END is kEnd and schedules nothing.
namespace {
constexpr int kEnd = -1;
}

struct detail::GraphPlan {
    struct Route {
        std::string result;
        int target;
    };
    struct Branch {
        Condition condition;
        std::vector<Route> routes;
    };
    struct CompiledNode {
        std::string name;
        Node run;
        std::vector<int> targets;
        std::vector<Branch> branches;
    };

    StateSchema schema;
    std::vector<CompiledNode> nodes;
    std::vector<const StateKey*> add_keys;
    int entry = 0;
    DrawableGraph drawing;
};

// ---------------------------------------------------------------------------------------------
// Building

StateGraph::StateGraph(StateSchema schema) : schema_(std::move(schema)) {}

StateGraph& StateGraph::add_node(std::string name, Node node) {
    if (name.empty()) throw ValueError("a node needs a name");
    if (name == START || name == END) throw ValueError("'" + name + "' is reserved and cannot name a node");
    if (!node) throw ValueError("node '" + name + "' has no operation");
    for (const auto& [existing, _] : nodes_) {
        if (existing == name) throw ValueError("node '" + name + "' is already in the graph");
    }
    nodes_.emplace_back(std::move(name), std::move(node));
    return *this;
}

StateGraph& StateGraph::add_edge(std::string source, std::string target) {
    if (source == END) throw ValueError("an edge cannot leave '" + std::string(END) + "'");
    if (target == START) throw ValueError("an edge cannot lead to '" + std::string(START) + "'");
    if (source == START) return set_entry_point(std::move(target));
    edge_order_.push_back({false, plain_edges_.size()});
    plain_edges_.push_back({std::move(source), std::move(target)});
    return *this;
}

StateGraph& StateGraph::add_conditional_edges(std::string source, Condition condition, RouteMap mapping) {
    if (source == START || source == END) {
        throw ValueError("conditional edges must leave a node, not '" + source + "'");
    }
    if (!condition) throw ValueError("the conditional edges of '" + source + "' have no condition");
    if (mapping.empty()) throw ValueError("the conditional edges of '" + source + "' have no routes");
    edge_order_.push_back({true, conditional_edges_.size()});
    conditional_edges_.push_back({std::move(source), std::move(condition), std::move(mapping)});
    return *this;
}

StateGraph& StateGraph::set_entry_point(std::string name) {
    if (name == END) throw ValueError("the entry point must be a node");
    // One entry point: a second one would silently replace the first.
    if (!entry_point_.empty() && entry_point_ != name) {
        throw ValueError("the graph already starts at '" + entry_point_ + "'; it cannot also start at '" +
                         name + "'");
    }
    entry_point_ = std::move(name);
    return *this;
}

CompiledGraph StateGraph::compile() const {
    auto plan = std::make_shared<detail::GraphPlan>();
    plan->schema = schema_;
    for (const auto& key : plan->schema.keys()) {
        if (key.rule == MergeRule::add) plan->add_keys.push_back(&key);
    }

    std::unordered_map<std::string, int> position;
    for (const auto& [name, run] : nodes_) {
        position.emplace(name, static_cast<int>(plan->nodes.size()));
        plan->nodes.push_back({name, run, {}, {}});
    }
    const auto source_of = [&](const std::string& name,
                               const char* what) -> detail::GraphPlan::CompiledNode& {
        const auto it = position.find(name);
        if (it == position.end()) throw ValueError(std::string(what) + " leaves unknown node '" + name + "'");
        return plan->nodes[static_cast<std::size_t>(it->second)];
    };
    const auto target_of = [&](const std::string& name, const std::string& source) {
        if (name == END) return kEnd;
        const auto it = position.find(name);
        if (it == position.end()) {
            throw ValueError("an edge from '" + source + "' leads to unknown node '" + name + "'");
        }
        return it->second;
    };

    if (entry_point_.empty()) throw ValueError("the graph has no entry point");
    const auto entry = position.find(entry_point_);
    if (entry == position.end()) throw ValueError("the entry point '" + entry_point_ + "' is not a node");
    plan->entry = entry->second;

    DrawableGraph& drawing = plan->drawing;
    drawing.nodes.push_back(START);
    for (const auto& [name, _] : nodes_) drawing.nodes.push_back(name);
    drawing.nodes.push_back(END);
    drawing.edges.push_back({START, entry_point_, std::nullopt});

    for (const auto& [conditional, index] : edge_order_) {
        if (!conditional) {
            const PlainEdge& edge = plain_edges_[index];
            auto& source = source_of(edge.source, "an edge");
            const int target = target_of(edge.target, edge.source);
            if (target != kEnd) source.targets.push_back(target);
            drawing.edges.push_back({edge.source, edge.target, std::nullopt});
            continue;
        }
        const ConditionalEdge& edge = conditional_edges_[index];
        detail::GraphPlan::Branch branch{edge.condition, {}};
        for (const auto& [result, target] : edge.mapping) {
            branch.routes.push_back({result, target_of(target, edge.source)});
            drawing.edges.push_back({edge.source, target, result});
        }
        source_of(edge.source, "a conditional edge").branches.push_back(std::move(branch));
    }
    return CompiledGraph(std::move(plan));
}

// ---------------------------------------------------------------------------------------------
// Running

namespace {

using Clock = std::chrono::steady_clock;
using Plan = detail::GraphPlan;

// What one node of a step produced: its update (merged after the step), the nodes its edges
// schedule, or the error it raised.
struct Outcome {
    Value update;
    std::vector<int> routes;
    std::exception_ptr error;
};

class Run {
public:
    Run(const Plan& plan, const RunConfig& config) : plan_(plan), config_(config) {
        if (config.cancellation || config.deadline) {
            token_ = std::make_shared<const Cancellation>(config.deadline, config.cancellation);
        }
    }

    const std::shared_ptr<const Cancellation>& token() const { return token_; }

    Value execute(Value input) {
        if (config_.recursion_limit < 1) throw ValueError("recursion_limit must be at least 1");
        if (config_.max_concurrency && *config_.max_concurrency < 1) {
            throw ValueError("max_concurrency must be at least 1");
        }
        Value state = Value::object();
        for (const StateKey* key : plan_.add_keys) state[key->name] = 0;
        for (auto& [name, value] : input.get_ref<Value::object_t&>()) {
            if (const StateKey* key = plan_.schema.find(name))
                StateSchema::merge_into(state, *key, std::move(value));
        }

        std::vector<int> current{plan_.entry};
        std::vector<int> next;
        std::vector<char> scheduled(plan_.nodes.size(), 0);
        std::vector<Outcome> outcomes;
        for (int step = 1; !current.empty(); ++step) {
            if (step > config_.recursion_limit) {
                throw GraphRecursionError("the run needed more than " +
                                          std::to_string(config_.recursion_limit) +
                                          " steps (recursion limit) without reaching the end");
            }
            if (token_) token_->check();
            if (outcomes.size() < current.size()) outcomes.resize(current.size());
            run_step(state, step, current, outcomes);

            for (std::size_t i = 0; i < current.size(); ++i) {
                for (const int target : outcomes[i].routes) {
                    if (!scheduled[static_cast<std::size_t>(target)]) {
                        scheduled[static_cast<std::size_t>(target)] = 1;
                        next.push_back(target);
                    }
                }
            }
            if (current.size() > 1) check_single_writers(step, current, outcomes);
            // Merged in node order, so a step gives the same state however its nodes interleaved.
            for (std::size_t i = 0; i < current.size(); ++i) merge(state, outcomes[i].update);

            std::sort(next.begin(), next.end());
            for (const int target : next) scheduled[static_cast<std::size_t>(target)] = 0;
            current.swap(next);
            next.clear();
        }
        return in_declaration_order(state);
    }

private:
    void run_step(Value& state, int step, const std::vector<int>& nodes, std::vector<Outcome>& outcomes) {
        const std::size_t count = nodes.size();
        std::size_t workers = count;
        if (config_.max_concurrency)
            workers = std::min(workers, static_cast<std::size_t>(*config_.max_concurrency));
        if (workers <= 1) {
            // The common case: no thread, errors leave straight from the node.
            for (std::size_t i = 0; i < count; ++i) run_node(state, step, nodes[i], outcomes[i]);
            return;
        }

        std::atomic<std::size_t> claimed{0};
        std::atomic<bool> failed{false};
        const auto work = [&] {
            for (std::size_t i = claimed.fetch_add(1); i < count; i = claimed.fetch_add(1)) {
                outcomes[i].error = nullptr;
                outcomes[i].routes.clear();
                outcomes[i].update = nullptr;
                if (failed.load()) continue;  // the step is lost anyway; start nothing new
                try {
                    run_node(state, step, nodes[i], outcomes[i]);
                } catch (...) {
                    outcomes[i].error = std::current_exception();
                    failed.store(true);
                }
            }
        };
        std::vector<std::thread> threads;
        threads.reserve(workers - 1);
        for (std::size_t w = 1; w < workers; ++w) {
            try {
                // Workers carry the run's context (its usage accounting) like the calling thread.
                threads.emplace_back([&work, context = RunContext::current()] {
                    RunContext::Scope in_run(context);
                    work();
                });
            } catch (const std::system_error&) {
                break;  // fewer threads than hoped; the remaining workers share the step
            }
        }
        work();
        for (auto& thread : threads) thread.join();
        for (std::size_t i = 0; i < count; ++i) {
            if (outcomes[i].error) std::rethrow_exception(outcomes[i].error);
        }
    }

    void run_node(Value& state, int step, int index, Outcome& outcome) {
        const Plan::CompiledNode& node = plan_.nodes[static_cast<std::size_t>(index)];
        outcome.routes.clear();

        const bool observed = static_cast<bool>(config_.observer);
        Clock::time_point started;
        if (observed) {
            notify({RunEvent::Kind::started, node.name, step, {}});
            started = Clock::now();
        }
        Value update;
        try {
            StateView view(state);
            update = node.run(view);
        } catch (...) {
            if (observed) notify({RunEvent::Kind::failed, node.name, step, Clock::now() - started});
            throw;
        }
        if (observed) notify({RunEvent::Kind::finished, node.name, step, Clock::now() - started});

        if (update.is_null()) {
            update = Value::object();
        } else if (!update.is_object()) {
            throw TypeError("node '" + node.name + "' returned a " + kind_name(update) +
                            "; a node returns a record or nothing");
        }
        outcome.routes.insert(outcome.routes.end(), node.targets.begin(), node.targets.end());
        if (!node.branches.empty()) route(state, node, update, outcome.routes);
        outcome.update = std::move(update);
    }

    // Follows the node's conditional edges on the stored state with this node's update merged.
    void route(Value& state, const Plan::CompiledNode& node, const Value& update,
               std::vector<int>& routes) const {
        const auto& changes = update.get_ref<const Value::object_t&>();
        const bool plain_replacements = std::all_of(changes.begin(), changes.end(), [&](const auto& change) {
            const StateKey* key = plan_.schema.find(change.first);
            return key && key->rule == MergeRule::replace;
        });
        Value merged;
        const Value* overlay = &update;
        if (!plain_replacements) {
            merged = Value::object();
            for (const auto& [name, value] : changes) {
                const StateKey* key = plan_.schema.find(name);
                if (!key) continue;
                const auto stored = state.find(name);
                merged[name] = StateSchema::merged(*key, stored == state.end() ? nullptr : &*stored, value);
            }
            overlay = &merged;
        }
        const StateView view(state, overlay);
        for (const Plan::Branch& branch : node.branches) {
            const std::string result = branch.condition(view);
            const auto route = std::find_if(branch.routes.begin(), branch.routes.end(),
                                            [&](const Plan::Route& r) { return r.result == result; });
            if (route == branch.routes.end()) {
                std::string known;
                for (const auto& r : branch.routes) known += (known.empty() ? "'" : ", '") + r.result + "'";
                throw InvalidRouteError("the condition after node '" + node.name + "' returned '" + result +
                                        "', which is none of its routes (" + known + ")");
            }
            if (route->target != kEnd) routes.push_back(route->target);
        }
    }

    // A replace key takes one value per step: two nodes of a step writing it would leave the
    // state to whichever merges last.
    void check_single_writers(int step, const std::vector<int>& nodes,
                              const std::vector<Outcome>& outcomes) const {
        std::unordered_map<std::string_view, std::size_t> writer;
        for (std::size_t i = 0; i < nodes.size(); ++i) {
            for (const auto& [name, value] : outcomes[i].update.get_ref<const Value::object_t&>()) {
                const StateKey* key = plan_.schema.find(name);
                if (!key || key->rule != MergeRule::replace) continue;
                const auto [it, first] = writer.emplace(name, i);
                if (first) continue;
                throw InvalidUpdateError(
                    "nodes '" + plan_.nodes[static_cast<std::size_t>(nodes[it->second])].name + "' and '" +
                    plan_.nodes[static_cast<std::size_t>(nodes[i])].name + "' both wrote '" + name +
                    "' in step " + std::to_string(step) + "; a replaced key takes one value per step");
            }
        }
    }

    void merge(Value& state, Value& update) const {
        for (auto& [name, value] : update.get_ref<Value::object_t&>()) {
            if (const StateKey* key = plan_.schema.find(name))
                StateSchema::merge_into(state, *key, std::move(value));
        }
    }

    Value in_declaration_order(Value& state) const {
        Value result = Value::object();
        for (const StateKey& key : plan_.schema.keys()) {
            const auto it = state.find(key.name);
            if (it != state.end()) result[key.name] = std::move(*it);
        }
        return result;
    }

    void notify(const RunEvent& event) {
        const std::lock_guard lock(observer_mutex_);
        config_.observer(event);
    }

    const Plan& plan_;
    const RunConfig& config_;
    std::shared_ptr<const Cancellation> token_;  // the run's own: the host's token and the deadline
    std::mutex observer_mutex_;
};

}  // namespace

CompiledGraph::CompiledGraph(std::shared_ptr<const detail::GraphPlan> plan) : plan_(std::move(plan)) {}

Value CompiledGraph::invoke(Value input, const RunConfig& config) const {
    if (!input.is_object()) throw TypeError("graph input must be a record, got a " + kind_name(input));
    Run run(*plan_, config);
    if (!run.token()) return run.execute(std::move(input));
    // Node workers copy this context, so every thread of the run sees the token.
    RunContext::Scope in_run(Cancellation::install(RunContext::current(), run.token()));
    return run.execute(std::move(input));
}

DrawableGraph CompiledGraph::get_graph() const {
    return plan_->drawing;
}

const StateSchema& CompiledGraph::schema() const {
    return plan_->schema;
}

}  // namespace veltaai::graph
