// Child processes for real: environment and descriptors handed over, failures to start, exit
// statuses and signals, limits, and killing a child with everything it started.
#include "veltaai/core/process.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

namespace veltaai::process {
namespace {

using namespace std::chrono_literals;

// Everything a child writes to its standard output.
std::string output_of(SpawnOptions options) {
    Pipe pipe;
    options.descriptors.push_back({1, pipe.write_end()});
    Child child = spawn(options);
    pipe.close_write();
    std::string out = read_to_end(pipe.read_end());
    child.wait();
    return out;
}

// Processes of the group that are still alive: zombies waiting for whoever adopted them to
// reap them have already ended.
int live_members(pid_t group) {
    int live = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        std::ifstream stat(entry.path() / "stat");
        std::string line;
        if (!std::getline(stat, line)) continue;
        const std::size_t close = line.rfind(')');
        if (close == std::string::npos) continue;
        char state = 0;
        int parent = 0;
        int pgrp = 0;
        if (std::sscanf(line.c_str() + close + 1, " %c %d %d", &state, &parent, &pgrp) == 3 &&
            pgrp == group && state != 'Z' && state != 'X') {
            ++live;
        }
    }
    return live;
}

TEST(Spawn, HandsOverExactlyTheEnvironmentDirectoryAndDescriptorsAsked) {
    SpawnOptions only;
    only.argv = {"/usr/bin/env"};
    only.clear_environment = true;
    only.environment = {{"ONLY", "this"}};
    EXPECT_EQ(output_of(only), "ONLY=this\n");

    ::setenv("VELTAAI_PROCESS_TEST_INHERITED", "yes", 1);
    SpawnOptions inherited;
    inherited.argv = {"sh", "-c", "echo \"$VELTAAI_PROCESS_TEST_INHERITED $ADDED\""};  // found on PATH
    inherited.environment = {{"ADDED", "too"}};
    EXPECT_EQ(output_of(inherited), "yes too\n");
    ::unsetenv("VELTAAI_PROCESS_TEST_INHERITED");

    SpawnOptions where;
    where.argv = {"/bin/pwd"};
    where.working_directory = "/usr";
    EXPECT_EQ(output_of(where), "/usr\n");

    // Descriptors not handed over are closed in the child; stdin can be /dev/null.
    Pipe kept;
    SpawnOptions fds;
    fds.argv = {"sh", "-c", "ls /proc/self/fd | sort -n | tr '\\n' ' '; read line || echo eof"};
    fds.stdin_null = true;
    EXPECT_EQ(output_of(fds), "0 1 2 3 eof\n") << "3 is ls's own directory, not the parent's pipe";
}

TEST(Spawn, FailuresToStartAreSpawnErrorsLikeTheSystemsOwn) {
    SpawnOptions missing;
    missing.argv = {"/nonexistent/bin/python"};
    try {
        spawn(missing);
        ADD_FAILURE() << "a missing program started";
    } catch (const SpawnError& e) {
        EXPECT_EQ(e.errno_value(), ENOENT);
        EXPECT_STREQ(e.what(), "[Errno 2] No such file or directory: '/nonexistent/bin/python'");
    }
    SpawnOptions not_program;
    not_program.argv = {"/etc"};
    EXPECT_THROW(spawn(not_program), SpawnError);
}

TEST(Child, ReportsHowItEndedAndKillsItsWholeGroup) {
    EXPECT_EQ(run({"sh", "-c", "exit 3"}).describe(), "exit status 3");
    const ExitStatus crashed = run({"sh", "-c", "kill -SEGV $$"});
    EXPECT_FALSE(crashed.exited);
    EXPECT_EQ(crashed.describe(), "signal 11 (Segmentation fault)");
    const RunResult errors = run_capturing_errors({"sh", "-c", "echo oops >&2; exit 1"});
    EXPECT_EQ(errors.error_output, "oops\n");
    EXPECT_EQ(errors.status.code, 1);

    // A writer far past what is kept still runs to its end: the rest is drained, not left to
    // fill the pipe.
    Pipe chatty;
    SpawnOptions flood;
    flood.argv = {"sh", "-c", "head -c 3000000 /dev/zero | tr '\\0' x"};
    flood.descriptors = {{1, chatty.write_end()}};
    Child writer = spawn(flood);
    chatty.close_write();
    EXPECT_EQ(read_to_end(chatty.read_end(), 5), "xxxxx");
    EXPECT_EQ(writer.wait().code, 0);

    SpawnOptions group;
    group.argv = {"sh", "-c", "sleep 30 & sleep 30 & wait"};
    group.new_process_group = true;
    Child child = spawn(group);
    const pid_t leader = child.pid();
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(child.poll()) << "still running";
    const ExitStatus killed = child.kill();
    EXPECT_EQ(killed.signal, SIGKILL);
    EXPECT_FALSE(child.running());
    for (int i = 0; i < 50 && live_members(leader) > 0; ++i) std::this_thread::sleep_for(20ms);
    EXPECT_EQ(live_members(leader), 0) << "the sleeps of the group are gone too";

    pid_t abandoned = 0;
    {
        SpawnOptions sleeper;
        sleeper.argv = {"sleep", "30"};
        Child running = spawn(sleeper);
        abandoned = running.pid();
    }
    EXPECT_EQ(::kill(abandoned, 0), -1) << "a destroyed Child is killed and reaped";
}

TEST(Child, LimitsHold) {
    SpawnOptions hungry;
    hungry.argv = {"/usr/bin/python3", "-c", "b = bytearray(512 * 1024 * 1024)"};
    hungry.address_space_limit = 256u * 1024 * 1024;
    hungry.descriptors.push_back({2, ::open("/dev/null", O_WRONLY | O_CLOEXEC)});
    const ExitStatus status = spawn(hungry).wait();
    EXPECT_TRUE(status.exited);
    EXPECT_EQ(status.code, 1) << "MemoryError, not a 512 MiB allocation";
    ::close(hungry.descriptors.back().second);
}

}  // namespace
}  // namespace veltaai::process
