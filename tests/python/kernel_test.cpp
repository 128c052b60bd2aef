#include "veltaai/python/kernel.h"

#include "host_output.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <fstream>
#include <future>
#include <thread>

using namespace veltaai;
using python::Kernel;
using python::KernelOptions;
using python::RunRequest;

namespace {

KernelOptions quick_options() {
    KernelOptions options;
    options.time_limit = std::chrono::milliseconds(2000);
    return options;
}

bool alive(int pid) {
    return ::kill(pid, 0) == 0;
}

}  // namespace

TEST(PythonKernel, CapturesStdoutOfEachRunOnly) {
    Kernel kernel(quick_options());
    HostOutput host;
    EXPECT_EQ(kernel.run("print('one')\nprint('two')"), "one\ntwo\n");
    EXPECT_EQ(kernel.run("import sys\nprint('to stderr', file=sys.stderr)"), "");
    EXPECT_EQ(kernel.run("1 + 1"), "");
    std::cout << "host line" << std::endl;
    // The host's own descriptor 1 saw its own line and nothing the code printed.
    EXPECT_EQ(host.finish(), "host line\n");
}

TEST(PythonKernel, FreshAndNamedNamespaces) {
    Kernel kernel(quick_options());
    EXPECT_EQ(kernel.run("x = 41\nprint(__name__ == '__main__')"), "False\n");
    EXPECT_THROW(kernel.run("print(x)"), PythonError);

    RunRequest request;
    request.namespace_name = "session";
    request.setup = "import json\nseed = 1\n";
    request.names = {{"given", Value::array({1, "two"})}};
    request.exports = {"total"};
    request.code = "total = seed + 1\nprint(json.dumps(given))";
    auto outcome = kernel.execute(request);
    EXPECT_EQ(outcome.output, "[1, \"two\"]\n");
    EXPECT_EQ(outcome.exports["total"], 2);

    request.code = "total += 10\nseed = 100";
    EXPECT_EQ(kernel.execute(request).exports["total"], 12);
    // Setup runs once per namespace: seed keeps the value the code gave it.
    request.code = "print(seed)";
    EXPECT_EQ(kernel.execute(request).output, "100\n");

    kernel.drop_namespace("session");
    request.code = "print(seed)";
    EXPECT_EQ(kernel.execute(request).output, "1\n");
}

TEST(PythonKernel, ErrorsCarryKindMessageAndTraceback) {
    Kernel kernel(quick_options());
    try {
        kernel.run("def f():\n    return 1 / 0\nprint('partial')\nf()");
        FAIL() << "no error";
    } catch (const PythonError& error) {
        EXPECT_EQ(error.kind(), "ZeroDivisionError");
        EXPECT_EQ(error.message(), "division by zero");
        EXPECT_EQ(std::string(error.what()), "ZeroDivisionError: division by zero");
        EXPECT_NE(error.traceback().find("File \"<ast>\", line 2, in f"), std::string::npos)
            << error.traceback();
        EXPECT_EQ(error.traceback().find("serve"), std::string::npos) << "driver frames leaked";
    }
    try {
        kernel.run("x = (1");
        FAIL() << "no error";
    } catch (const PythonError& error) {
        EXPECT_EQ(error.kind(), "SyntaxError");
        EXPECT_NE(error.traceback().find("<ast>"), std::string::npos);
    }
    try {
        kernel.run("import json\njson.loads('{')");
        FAIL() << "no error";
    } catch (const PythonError& error) {
        EXPECT_EQ(error.kind(), "JSONDecodeError");  // no module prefix
    }
    // A replaced stdout that cannot be read back is an error of the run, and stdout comes back.
    EXPECT_THROW(kernel.run("import sys\nsys.stdout = None\nprint('x')"), PythonError);
    EXPECT_EQ(kernel.run("print('back')"), "back\n");
}

TEST(PythonKernel, SystemExitIsItsOwnOutcomeAndKeepsTheInterpreter) {
    Kernel kernel(quick_options());
    RunRequest request;
    request.namespace_name = "kept";
    request.code = "kept = 'yes'\nraise SystemExit(3)";
    const auto pid = [&] {
        auto outcome = kernel.execute(request);
        EXPECT_EQ(outcome.status, python::RunOutcome::Status::exit);
        EXPECT_EQ(outcome.exit_code, 3);
        EXPECT_THROW(outcome.output_or_throw(), PythonExit);
        return kernel.pid();
    }();
    request.code = "print(kept)";
    EXPECT_EQ(kernel.execute(request).output, "yes\n");
    EXPECT_EQ(kernel.pid(), pid);
}

TEST(PythonKernel, SurvivesEndlessLoopExitAndCrash) {
    KernelOptions options = quick_options();
    options.time_limit = std::chrono::milliseconds(800);
    Kernel kernel(options);
    const int first = *[&] {
        kernel.run("pass");
        return kernel.pid();
    }();

    const auto started = std::chrono::steady_clock::now();
    EXPECT_THROW(kernel.run("while True:\n    pass"), python::KernelTimeout);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    EXPECT_FALSE(alive(first));
    EXPECT_EQ(kernel.run("print('answers')"), "answers\n");

    try {
        kernel.run("import os\nos._exit(3)");
        FAIL() << "no error";
    } catch (const python::KernelCrash& crash) {
        EXPECT_TRUE(crash.status().exited);
        EXPECT_EQ(crash.status().code, 3);
    }
    EXPECT_EQ(kernel.run("print(2)"), "2\n");

    try {
        kernel.run("import ctypes\nctypes.string_at(0)");
        FAIL() << "no error";
    } catch (const python::KernelCrash& crash) {
        EXPECT_FALSE(crash.status().exited);
        EXPECT_EQ(crash.status().signal, SIGSEGV);
    }
    EXPECT_EQ(kernel.run("print(3)"), "3\n");
}

TEST(PythonKernel, ForkedAndStrayProcessesAreContained) {
    KernelOptions options = quick_options();
    options.process_limit = 32;
    Kernel kernel(options);
    // A forked child that carries on must never answer in the kernel's place.
    EXPECT_EQ(
        kernel.run(
            "import os\nif os.fork() == 0:\n    print('child')\nelse:\n    os.wait()\n    print('parent')"),
        "parent\n");
    // A stray left running by the code is gone once the run ends.
    // Its pid is the sandbox's own, so the kernel itself looks for it.
    const std::string stray = kernel.run("import subprocess\nprint(subprocess.Popen(['sleep', '30']).pid)");
    const int stray_pid = std::stoi(stray);
    EXPECT_EQ(kernel.run("import os\nprint(os.path.exists('/proc/" + std::to_string(stray_pid) + "/stat'))"),
              "False\n");
    if (kernel.process_limit_enforced()) {
        try {
            kernel.run("import os\nwhile True:\n    os.fork()");
            FAIL() << "the fork bomb went unchecked";
        } catch (const PythonError& error) {
            EXPECT_EQ(error.kind(), "BlockingIOError");
        } catch (const python::KernelTimeout&) {
        }
    } else {
        GTEST_LOG_(INFO) << "no pids cgroup here: process limit not enforced";
    }
    EXPECT_EQ(kernel.run("print('after')"), "after\n");
}

TEST(PythonKernel, MemoryLimitAndStartFailure) {
    KernelOptions options = quick_options();
    options.memory_limit = std::size_t{512} << 20;
    Kernel kernel(options);
    try {
        kernel.run("block = bytearray(1 << 30)");
        FAIL() << "1 GiB allocated under a 512 MiB limit";
    } catch (const PythonError& error) {
        EXPECT_EQ(error.kind(), "MemoryError");
    }
    EXPECT_EQ(kernel.run("print(len(bytearray(1 << 20)))"), "1048576\n");

    KernelOptions missing = quick_options();
    missing.interpreter = "/nonexistent/python3";
    Kernel broken(missing);
    EXPECT_THROW(broken.run("pass"), KernelError);
}

// start() leaves the interpreter's start-up running in the background: here the start-up waits
// for a file that only appears after start() has returned, so a start() that waited would hang
// until the greeting's time limit and fail the run.
TEST(PythonKernel, StartLetsStartUpRunWhileTheHostGoesOn) {
    const std::string gates = ::testing::TempDir() + "veltaai-kernel-gate-" + std::to_string(::getpid());
    const std::string gate = gates + "/gate";
    std::remove(gate.c_str());
    KernelOptions options = quick_options();
    options.writable_directories = {gates};  // the sandbox shows the host's files there only
    options.startup_code = "import os, time\nwhile not os.path.exists(" + std::string("'") + gate +
                           "'):\n    time.sleep(0.01)\nimport json\n";
    Kernel kernel(options);
    kernel.start();
    ASSERT_TRUE(kernel.pid().has_value());
    std::ofstream(gate) << "open";
    EXPECT_EQ(kernel.run("print('ready')"), "ready\n");
    kernel.start();  // running already: nothing happens
    EXPECT_EQ(kernel.run("print('again')"), "again\n");
    std::remove(gate.c_str());
    ::rmdir(gates.c_str());

    KernelOptions missing = quick_options();
    missing.interpreter = "/nonexistent/python3";
    Kernel broken(missing);
    EXPECT_THROW(broken.start(), KernelError);
    KernelOptions failing = quick_options();
    failing.startup_code = "raise ImportError('no such module')";
    Kernel failed_start(failing);
    failed_start.start();
    try {
        failed_start.run("pass");
        FAIL() << "a start-up error must reach the first run";
    } catch (const KernelError& error) {
        EXPECT_NE(std::string(error.what()).find("no such module"), std::string::npos) << error.what();
    }
}

TEST(PythonKernel, SeparateKernelsRunSideBySide) {
    Kernel a(quick_options()), b(quick_options());
    a.run("pass");
    b.run("pass");
    const auto started = std::chrono::steady_clock::now();
    auto first =
        std::async(std::launch::async, [&] { return a.run("import time\ntime.sleep(0.6)\nprint('a')"); });
    auto second =
        std::async(std::launch::async, [&] { return b.run("import time\ntime.sleep(0.6)\nprint('b')"); });
    EXPECT_EQ(first.get(), "a\n");
    EXPECT_EQ(second.get(), "b\n");
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(1100));
}

TEST(PythonKernel, RendersJinja2WithPairs) {
    const Value pairs = Value::array({Value::array({"q1", "e1"}), Value::array({"q2", nullptr})});
    EXPECT_EQ(python::render_jinja2("{% for a, b in pairs %}{{ loop.index }}:{{ a }}={{ b }};{% endfor %}\n",
                                    {{"pairs", pairs}}),
              "1:q1=e1;2:q2=None;");
    EXPECT_THROW(python::render_jinja2("{% for %}", Value::object()), PythonError);
}

TEST(PythonKernel, NetworkIsolationLeavesOnlyLoopback) {
    if (python::sandbox_level() != python::SandboxLevel::bubblewrap) GTEST_SKIP() << "no namespaces here";
    // Off unless the options allow it.
    Kernel kernel(quick_options());
    EXPECT_EQ(kernel.run("import socket\nprint(sorted(name for _, name in socket.if_nameindex()))"),
              "['lo']\n");
    EXPECT_EQ(
        kernel.run(
            "import socket\ns = socket.socket()\ns.settimeout(1)\nprint(s.connect_ex(('1.1.1.1', 80)) != 0)"),
        "True\n");
    KernelOptions open = quick_options();
    open.allow_network = true;
    Kernel connected(open);
    EXPECT_NE(connected.run("import socket\nprint(sorted(name for _, name in socket.if_nameindex()))"),
              "['lo']\n");
}

// The kernel dies with the host, not with the thread that happened to start it.
TEST(PythonKernel, OutlivesTheThreadThatStartedIt) {
    Kernel kernel(quick_options());
    std::thread([&] { kernel.run("pass"); }).join();
    const auto pid = kernel.pid();
    ASSERT_TRUE(pid.has_value());
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(kernel.run("print('alive')"), "alive\n");
    EXPECT_EQ(kernel.pid(), pid);
}
