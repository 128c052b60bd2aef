#pragma once
// The sandbox a Python kernel runs in. Where bubblewrap can create namespaces the interpreter
// gets its own user, PID, IPC, UTS, cgroup and (unless allowed) network namespaces, a read-only
// view of the system directories, a private /tmp, /proc and /dev, and no host home, /run or
// host /tmp; the only writable places it sees are the directories the host names. Elsewhere it
// falls back to a cleared environment, a session of its own, death with its parent and no new
// privileges. At both levels the environment is rebuilt from an allow-list.

#include "veltaai/core/process.h"

#include <map>
#include <string>
#include <vector>

namespace veltaai::python {

enum class SandboxLevel {
    bubblewrap,  // namespaces through bubblewrap
    fallback,    // no namespaces could be made here
};

// "bubblewrap" or "fallback".
const char* sandbox_level_name(SandboxLevel level);

// The level kernels start at in this process: probed once (a trial run of bubblewrap), the
// fallback logged once as a warning. VELTAAI_SANDBOX=fallback forces the fallback.
SandboxLevel sandbox_level();

// What a sandboxed interpreter is started with.
struct SandboxSpec {
    std::string interpreter;
    std::vector<std::string> arguments;  // after the interpreter
    // Absolute directories the code may write (bound at their own paths).
    std::vector<std::string> writable;
    // Absolute directories the code may read only.
    std::vector<std::string> readable;
    // Directory the interpreter starts in; empty for the private /tmp (its HOME at fallback).
    std::string working_directory;
    bool network = false;
    // Variables the host chooses, on top of the allow-list.
    std::map<std::string, std::string> environment;
    // HOME (and the matplotlib configuration) at the fallback level, where /tmp is shared.
    std::string private_home;
};

// The spawn options (program line, environment, session) for spec at level; descriptors and
// limits are the caller's.
process::SpawnOptions sandboxed_spawn(const SandboxSpec& spec, SandboxLevel level);

// The host's variables that pass into a sandbox: PATH is fixed, the locale ones are copied.
std::map<std::string, std::string> allowed_environment();

}  // namespace veltaai::python
