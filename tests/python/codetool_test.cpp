#include "veltaai/codetool.h"
#include "veltaai/core/process.h"
#include "veltaai/core/value.h"
#include "veltaai/master.h"

#include "host_output.h"
#include "tests/scratch.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

using namespace veltaai;
namespace fs = std::filesystem;

namespace {

// A scratch directory, and a stand-in interpreter whose "-m venv PATH" makes PATH/bin/python a
// script that records the arguments of every call in pip.log.
class CodetoolTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("veltaai-codetool-" + std::to_string(::getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir);
        log = dir / "pip.log";
        const fs::path fake = dir / "fake-python";
        std::ofstream(fake) << "#!/bin/sh\n"
                               "[ \"$1 $2\" = \"-m venv\" ] || exit 2\n"
                               "mkdir -p \"$3/bin\"\n"
                               "printf '#!/bin/sh\\necho \"$*\" >> \"%s\"\\n' '" +
                                   log.string() +
                                   "' > \"$3/bin/python\"\n"
                                   "chmod +x \"$3/bin/python\"\n";
        fs::permissions(fake, fs::perms::owner_all);
        const char* previous = std::getenv("VELTAAI_PYTHON");
        saved_python = previous ? previous : "";
        codetool::env_path.reset();
        codetool::python_executable.reset();
    }
    // Environments are then created by the stand-in.
    void use_fake_interpreter() { ::setenv("VELTAAI_PYTHON", (dir / "fake-python").c_str(), 1); }

    void TearDown() override {
        if (saved_python.empty())
            ::unsetenv("VELTAAI_PYTHON");
        else
            ::setenv("VELTAAI_PYTHON", saved_python.c_str(), 1);
        fs::remove_all(dir);
    }

    fs::path dir, log;
    std::string saved_python;
};

}  // namespace

TEST_F(CodetoolTest, NewEnvironmentGetsTheDefaultPackagesOnce) {
    use_fake_interpreter();
    const std::string env = (dir / "env").string();
    HostOutput host;
    codetool::initialize_environment(env);
    EXPECT_EQ(codetool::python_executable, env + "/bin/python");
    EXPECT_EQ(veltaai::testing::file_text(log),
              "-m pip install matplotlib\n-m pip install scikit-learn\n-m pip install numpy\n"
              "-m pip install statsmodels\n-m pip install pandas\n-m pip install scipy\n");

    // Same path again: nothing created or installed, the interpreter path set again.
    codetool::python_executable = "elsewhere";
    codetool::initialize_environment(env);
    EXPECT_EQ(codetool::python_executable, env + "/bin/python");
    const std::string calls = veltaai::testing::file_text(log);
    EXPECT_EQ(std::count(calls.begin(), calls.end(), '\n'), 6);

    codetool::safe_install_modules({"pandas>=1.5", "nosuchpackagexyz"});
    EXPECT_NE(veltaai::testing::file_text(log).find(
                  "-m pip install pandas>=1.5\n-m pip install nosuchpackagexyz\n"),
              std::string::npos);
    EXPECT_EQ(host.finish(), "Installation successful.\nInstallation successful.\n");
}

TEST_F(CodetoolTest, DirectoryWithoutInterpreterBecomesAnEnvironment) {
    use_fake_interpreter();
    fs::create_directories(dir / "empty");
    HostOutput host;
    codetool::initialize_environment((dir / "empty").string());
    EXPECT_TRUE(fs::exists(dir / "empty" / "bin" / "python"));
    const std::string calls = veltaai::testing::file_text(log);
    EXPECT_EQ(std::count(calls.begin(), calls.end(), '\n'), 6) << calls;
    // A real environment is kept as it is: nothing created or installed again.
    codetool::initialize_environment((dir / "empty").string());
    EXPECT_EQ(veltaai::testing::file_text(log), calls);

    codetool::python_executable = (dir / "missing" / "python").string();
    codetool::safe_install_modules({"numpy", "scipy"});
    codetool::safe_install_modules({});
    const std::string printed = host.finish();
    EXPECT_EQ(
        printed.rfind(
            "Installation successful.\nAn error occurred during installation: [Errno 2] No such file or "
            "directory: '",
            0),
        0u)
        << printed;
    EXPECT_EQ(std::count(printed.begin(), printed.end(), '\n'), 3);
    EXPECT_NE(printed.find("'\nInstallation successful.\n"), std::string::npos) << printed;
}

TEST_F(CodetoolTest, UsingTheEnvironmentBeforeItIsSetFails) {
    EXPECT_THROW(codetool::ensure_virtual_environment(), TypeError);
    EXPECT_THROW(codetool::install_dependencies({"numpy"}), TypeError);
    EXPECT_NO_THROW(codetool::install_dependencies({}));
    HostOutput host;
    master::safe_install_modules({"numpy"});
    master::safe_install_modules({});
    const std::string printed = host.finish();
    EXPECT_EQ(printed.rfind("An error occurred during installation: python_executable is not set", 0), 0u)
        << printed;
    EXPECT_NE(printed.find("\nInstallation successful.\n"), std::string::npos);
}

TEST_F(CodetoolTest, MasterReportsAFailedCreationInOneLine) {
    std::ofstream(dir / "a-file") << "not a directory";
    ::setenv("VELTAAI_PYTHON", "/usr/bin/python3", 1);
    HostOutput host;
    master::initialize_env((dir / "a-file" / "env").string());
    const std::string printed = host.finish();
    EXPECT_EQ(printed.rfind(
                  "An error occurred during initilization: could not create a virtual environment at ", 0),
              0u)
        << printed;
    EXPECT_EQ(std::count(printed.begin(), printed.end(), '\n'), 1) << printed;
    EXPECT_FALSE(codetool::python_executable.has_value());
}

TEST_F(CodetoolTest, RealEnvironmentHasItsOwnInterpreterAndPip) {
    ::setenv("VELTAAI_PYTHON", "/usr/bin/python3", 1);
    // No index and no local wheels: the six installs fail fast, which is not reported.
    ::setenv("PIP_NO_INDEX", "1", 1);
    ::unsetenv("PIP_FIND_LINKS");
    const std::string env = (dir / "venv").string();
    HostOutput host;
    master::initialize_env(env);
    const std::string printed = host.finish();
    // The six installs failed, and the line says which.
    EXPECT_EQ(printed.find("Installation successful."), std::string::npos) << printed;
    EXPECT_NE(printed.find(
                  "An error occurred during installation: pip could not install: matplotlib, scikit-learn, "
                  "numpy, statsmodels, pandas, scipy\n"),
              std::string::npos)
        << printed;
    ASSERT_EQ(codetool::python_executable, env + "/bin/python");
    EXPECT_TRUE(fs::exists(env + "/pyvenv.cfg"));
    const auto pip = process::run({*codetool::python_executable, "-m", "pip", "--version"});
    EXPECT_TRUE(pip.exited && pip.code == 0) << pip.describe();
}

TEST_F(CodetoolTest, ExecuteCodeKeepsOneNamespace) {
    EXPECT_EQ(codetool::execute_code("print('a')\nprint('b')"), "a\nb\n");
    EXPECT_EQ(codetool::execute_code("1 + 1"), "");
    EXPECT_EQ(codetool::execute_code("import sys\nsys.stderr.write('only stderr\\n')"), "");
    EXPECT_EQ(codetool::execute_code("kept = 7"), "");
    EXPECT_EQ(codetool::execute_code("print(kept * 6)"), "42\n");
    EXPECT_EQ(
        codetool::execute_code("print(ast.__name__, os.sep, subprocess.PIPE, sys.version_info[0], "
                               "tempfile.__name__, venv.__name__, StringIO().getvalue() == '', media_path)"),
        "ast / -1 3 tempfile venv True None\n");
}

TEST_F(CodetoolTest, ExecuteCodeErrorsReachTheCaller) {
    HostOutput host;
    try {
        codetool::execute_code("print('lost')\n1 / 0");
        FAIL() << "no error";
    } catch (const PythonError& error) {
        EXPECT_EQ(error.kind(), "ZeroDivisionError");
        EXPECT_NE(error.traceback().find("File \"<ast>\", line 2"), std::string::npos) << error.traceback();
    }
    try {
        codetool::execute_code("if True print(1)");
        FAIL() << "no error";
    } catch (const PythonError& error) {
        EXPECT_EQ(error.kind(), "SyntaxError");
    }
    std::cout << "host" << std::endl;
    EXPECT_EQ(host.finish(), "host\n");
}

TEST_F(CodetoolTest, SharedNamesFollowTheCode) {
    codetool::env_path = "/from/host";
    EXPECT_EQ(codetool::execute_code("print(env_path, python_executable)"), "/from/host None\n");
    EXPECT_THROW(codetool::execute_code("python_executable = '" + (dir / "bin-python").string() +
                                        "'\nraise ValueError('x')"),
                 PythonError);
    // The failed run's assignment still changed the installer's interpreter.
    EXPECT_EQ(codetool::python_executable, (dir / "bin-python").string());
    HostOutput host;
    codetool::safe_install_modules({"numpy"});
    EXPECT_NE(host.finish().find("bin-python'"), std::string::npos);
}

TEST_F(CodetoolTest, CodeCallsTheModulesOperationsOnTheSharedState) {
    // The sandbox lets the code write in the scratch directory, where it makes its environment.
    python::KernelOptions options = codetool::kernel_options();
    options.writable_directories = {dir.string()};
    codetool::configure_kernel(options);
    codetool::execute_code("pass");  // the kernel itself runs the real interpreter
    use_fake_interpreter();
    const fs::path env = dir / "from-code";
    // Creating an environment from code: the host's state follows and the defaults are installed.
    EXPECT_EQ(codetool::execute_code("initialize_environment(" + veltaai::quoted_text(env.string()) + ")"),
              "Installation successful.\n");
    EXPECT_EQ(codetool::env_path, env.string());
    EXPECT_EQ(codetool::python_executable, (env / "bin" / "python").string());
    EXPECT_EQ(veltaai::testing::file_text(log),
              "-m pip install matplotlib\n-m pip install scikit-learn\n-m pip install numpy\n"
              "-m pip install statsmodels\n-m pip install pandas\n-m pip install scipy\n");

    EXPECT_EQ(
        codetool::execute_code("safe_install_modules(['polars'])\nprint(execute_code('print(2 * 21)'))"),
        "Installation successful.\n42\n\n");
    EXPECT_NE(veltaai::testing::file_text(log).find("-m pip install polars\n"), std::string::npos);
    EXPECT_EQ(codetool::execute_code("python_executable = None\nsafe_install_modules(['x'])"),
              "An error occurred during installation: python_executable is not set: call "
              "initialize_environment first\n");
    try {
        codetool::execute_code("env_path = None\nensure_virtual_environment()");
        FAIL() << "no error";
    } catch (const PythonError& error) {
        EXPECT_EQ(error.kind(), "TypeError");
    }
    EXPECT_FALSE(codetool::env_path.has_value());
    options.writable_directories.clear();
    codetool::configure_kernel(options);
}

// Every package is tried; the success line only when pip installed them all, else the failure
// line names those that failed, from both entry points.
TEST_F(CodetoolTest, FailedPackagesAreNamedAndTheOthersStillInstalled) {
    const fs::path pip = dir / "picky-python";
    std::ofstream(pip) << "#!/bin/sh\necho \"$4\" >> '" << log.string()
                       << "'\ncase \"$4\" in bad*) exit 1;; esac\n";
    fs::permissions(pip, fs::perms::owner_all);
    codetool::python_executable = pip.string();
    HostOutput host;
    master::safe_install_modules({"bad-one", "good", "bad-two"});
    codetool::safe_install_modules({"good"});
    codetool::safe_install_modules({"bad-three"});
    EXPECT_EQ(host.finish(),
              "An error occurred during installation: pip could not install: bad-one, bad-two\n"
              "Installation successful.\n"
              "An error occurred during installation: pip could not install: bad-three\n");
    EXPECT_EQ(veltaai::testing::file_text(log), "bad-one\ngood\nbad-two\ngood\nbad-three\n");
    EXPECT_THROW(codetool::install_dependencies({"bad-four"}), codetool::InstallError);
}
