#pragma once
// What a thread carries for the run it is working for, such as the llm module's token and
// cost accounting. The context is thread-local, so two runs on two threads never mix; a
// runtime that hands part of a run to another thread takes RunContext::current() on the
// calling thread and installs it in the worker with a RunContext::Scope:
//
//     auto context = RunContext::current();
//     pool.submit([context] { RunContext::Scope in_run(context); node.invoke(view); });
//
// Entries are shared handles; what they point to must be safe to use from several threads.

#include <map>
#include <memory>
#include <string>

namespace veltaai {

class RunContext {
public:
    RunContext() = default;

    // The context installed on the calling thread (empty when none).
    static RunContext current();

    // The entry under key, or null.
    std::shared_ptr<void> get(const std::string& key) const;
    // A copy of this context with key set to value (a null value removes the key).
    RunContext with(const std::string& key, std::shared_ptr<void> value) const;
    bool empty() const { return !entries_ || entries_->empty(); }

    // Installs a context on the calling thread for the scope's lifetime (defined below).
    class Scope;

private:
    using Entries = std::map<std::string, std::shared_ptr<void>>;
    std::shared_ptr<const Entries> entries_;
};

// Installs a context on the calling thread for the scope's lifetime, then restores the
// one that was there before. Scopes nest; destroy them in reverse order of creation.
class RunContext::Scope {
public:
    explicit Scope(RunContext context);
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

private:
    RunContext previous_;
};

}  // namespace veltaai
