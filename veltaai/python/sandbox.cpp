#include "veltaai/python/sandbox.h"

#include "veltaai/core/log.h"
#include "veltaai/core/text.h"

#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>

extern char** environ;

namespace veltaai::python {
namespace {

namespace fs = std::filesystem;

constexpr const char* sandbox_path = "/usr/local/bin:/usr/bin:/bin";
constexpr const char* sandbox_home = "/tmp/home";

// Pieces of /etc the interpreter and its libraries read: the loader's cache, users and groups
// for getpwuid, name service order, time zone, certificates, fonts and matplotlib's defaults.
// Never the rest (shadow files, private keys, service credentials, database client settings):
// the sandbox's root owns what the host's root owns, so what is bound is readable.
const char* const etc_entries[] = {
    "ld.so.cache",     "ld.so.conf", "ld.so.conf.d",  "alternatives", "localtime",  "timezone",
    "passwd",          "group",      "nsswitch.conf", "host.conf",    "ssl/certs",  "ssl/openssl.cnf",
    "ca-certificates", "fonts",      "matplotlibrc",  "mime.types",   "os-release", "locale.alias",
    "python3",         "python3.11", "python3.12",    "gai.conf"};
const char* const network_etc_entries[] = {"hosts", "resolv.conf", "services", "protocols"};

bool under(const std::string& path, const std::string& root) {
    return path == root || path.rfind(root + "/", 0) == 0;
}

// The system directories at the root: bound read-only, or recreated as the symlinks they are
// on merged-/usr systems.
void add_root_directory(std::vector<std::string>& argv, const std::string& path) {
    std::error_code error;
    const fs::file_status status = fs::symlink_status(path, error);
    if (error || !fs::exists(status)) return;
    if (fs::is_symlink(status)) {
        const fs::path target = fs::read_symlink(path, error);
        if (!error) argv.insert(argv.end(), {"--symlink", target.string(), path});
    } else if (fs::is_directory(status)) {
        argv.insert(argv.end(), {"--ro-bind", path, path});
    }
}

// The interpreter's own tree when it lives outside /usr: a virtual environment (…/bin/python)
// and the installation its interpreter links to.
std::vector<std::string> interpreter_roots(const std::string& interpreter) {
    std::vector<std::string> roots;
    std::error_code error;
    const fs::path given = fs::absolute(interpreter, error);
    for (fs::path path : {given, fs::canonical(given, error)}) {
        if (path.empty()) continue;
        const fs::path root = path.parent_path().parent_path();
        if (root.empty() || root == "/" || under(root.string(), "/usr")) continue;
        roots.push_back(root.string());
    }
    return roots;
}

std::vector<std::string> bubblewrap_command(const SandboxSetup& setup,
                                            const std::map<std::string, std::string>& env) {
    std::vector<std::string> argv = {"bwrap",
                                     "--unshare-user",
                                     "--unshare-pid",
                                     "--unshare-ipc",
                                     "--unshare-uts",
                                     "--unshare-cgroup-try",
                                     "--die-with-parent",
                                     "--new-session",
                                     "--as-pid-1",
                                     "--cap-drop",
                                     "ALL",
                                     "--hostname",
                                     "sandbox"};
    if (!setup.network) argv.push_back("--unshare-net");
    argv.insert(argv.end(), {"--ro-bind", "/usr", "/usr"});
    for (const char* dir : {"/bin", "/sbin", "/lib", "/lib32", "/lib64", "/libx32"})
        add_root_directory(argv, dir);
    for (const char* entry : etc_entries)
        argv.insert(argv.end(),
                    {"--ro-bind-try", std::string("/etc/") + entry, std::string("/etc/") + entry});
    if (setup.network) {
        for (const char* entry : network_etc_entries) {
            argv.insert(argv.end(),
                        {"--ro-bind-try", std::string("/etc/") + entry, std::string("/etc/") + entry});
        }
    }
    argv.insert(argv.end(), {"--ro-bind-try", "/var/cache/fontconfig", "/var/cache/fontconfig"});
    argv.insert(argv.end(), {"--proc", "/proc", "--dev", "/dev", "--tmpfs", "/tmp", "--dir", sandbox_home});
    // Read-only binds come last, so that an environment inside a writable directory stays
    // read-only: the host runs its pip outside the sandbox.
    for (const std::string& dir : setup.writable) argv.insert(argv.end(), {"--bind", dir, dir});
    for (const std::string& root : interpreter_roots(setup.interpreter))
        argv.insert(argv.end(), {"--ro-bind", root, root});
    for (const std::string& dir : setup.readable) argv.insert(argv.end(), {"--ro-bind-try", dir, dir});
    argv.insert(argv.end(),
                {"--chdir", setup.working_directory.empty() ? std::string("/tmp") : setup.working_directory});
    argv.push_back("--clearenv");
    for (const auto& [key, value] : env) argv.insert(argv.end(), {"--setenv", key, value});
    argv.push_back("--");
    argv.push_back(setup.interpreter);
    argv.insert(argv.end(), setup.arguments.begin(), setup.arguments.end());
    return argv;
}

// Runs bubblewrap once with every namespace the kernel asks for.
bool bubblewrap_works() {
    if (environment_variable("VELTAAI_SANDBOX") == "fallback") return false;
    SandboxSetup setup;
    setup.interpreter = "/usr/bin/true";
    process::SpawnOptions trial;
    trial.argv = bubblewrap_command(setup, {});
    trial.clear_environment = true;
    trial.stdin_null = true;
    try {
        process::Pipe errors;
        trial.descriptors = {{1, errors.write_end()}, {2, errors.write_end()}};
        process::Child child = process::spawn(trial);
        errors.close_write();
        const std::string text = process::read_to_end(errors.read_end(), 4096);
        const process::ExitStatus status = child.wait();
        if (status.exited && status.code == 0) return true;
        log::warning("bubblewrap cannot create namespaces here (" + status.describe() + "): " + text);
    } catch (const std::exception& error) {
        log::warning(std::string("bubblewrap cannot be started: ") + error.what());
    }
    return false;
}

}  // namespace

const char* sandbox_level_name(SandboxLevel level) {
    return level == SandboxLevel::bubblewrap ? "bubblewrap" : "fallback";
}

SandboxLevel sandbox_level() {
    static const SandboxLevel level = [] {
        if (bubblewrap_works()) return SandboxLevel::bubblewrap;
        log::warning(
            "Python kernels run without namespaces: cleared environment, own session, parent-death "
            "signal, no new privileges and resource limits only");
        return SandboxLevel::fallback;
    }();
    return level;
}

std::map<std::string, std::string> allowed_environment() {
    std::map<std::string, std::string> env;
    env["PATH"] = sandbox_path;
    for (char** entry = environ; entry && *entry; ++entry) {
        const std::string text = *entry;
        const std::string key = text.substr(0, text.find('='));
        if (key == "LANG" || key == "LANGUAGE" || key.rfind("LC_", 0) == 0)
            env[key] = text.substr(key.size() + 1);
    }
    return env;
}

process::SpawnOptions sandboxed_spawn(const SandboxSetup& setup, SandboxLevel level) {
    std::map<std::string, std::string> env = allowed_environment();
    const std::string home = level == SandboxLevel::bubblewrap ? sandbox_home : setup.private_home;
    env["HOME"] = home;
    env["TMPDIR"] = level == SandboxLevel::bubblewrap ? "/tmp" : setup.private_home;
    env["MPLCONFIGDIR"] = home + "/.matplotlib";
    env["PYTHONDONTWRITEBYTECODE"] = "1";
    env["PYTHONNOUSERSITE"] = "1";
    // One thread per numerical library: the warm parent forks, and pools forked mid-use hang.
    env["OPENBLAS_NUM_THREADS"] = "1";
    env["OMP_NUM_THREADS"] = "1";
    for (const auto& [key, value] : setup.environment) env[key] = value;

    process::SpawnOptions options;
    options.clear_environment = true;
    options.parent_death_signal = SIGKILL;
    options.no_new_privileges = true;
    options.new_session = true;
    if (level == SandboxLevel::bubblewrap) {
        options.argv = bubblewrap_command(setup, env);
    } else {
        options.argv = {setup.interpreter};
        options.argv.insert(options.argv.end(), setup.arguments.begin(), setup.arguments.end());
        options.environment = std::move(env);
        options.working_directory =
            setup.working_directory.empty() ? setup.private_home : setup.working_directory;
    }
    return options;
}

}  // namespace veltaai::python
