#pragma once
// `veltaai serve` as a separate process for tests: started with only the environment given,
// its address read from the line it prints, stopped with SIGTERM.

#include "veltaai/core/process.h"
#include "veltaai/core/value.h"

#include <httplib.h>

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace veltaai::testing {

// The chat settings that point both families at a chat stub.
inline std::map<std::string, std::string> chat_settings(const std::string& endpoint) {
    std::map<std::string, std::string> settings;
    for (const std::string family : {"CHAT_35_", "CHAT_4_"}) {
        settings[family + "API_BASE"] = endpoint;
        settings[family + "API_KEY"] = "key-secret";
        settings[family + "API_VERSION"] = "2024-02-01";
        settings[family + "DEPLOPMENT_NAME"] = "dep";
    }
    return settings;
}

class ServeProcess {
public:
    ServeProcess(std::vector<std::string> args, std::map<std::string, std::string> environment) {
        process::Pipe out;
        process::SpawnOptions spawn;
        spawn.argv = {VELTAAI_PROGRAM, "serve"};
        spawn.argv.insert(spawn.argv.end(), args.begin(), args.end());
        environment["PATH"] = "/usr/bin:/bin";
        if (const char* python = std::getenv("VELTAAI_PYTHON")) environment["VELTAAI_PYTHON"] = python;
        spawn.environment = std::move(environment);
        spawn.clear_environment = true;
        spawn.descriptors = {{1, out.write_end()}, {2, out.write_end()}};
        spawn.stdin_null = true;
        child_ = process::spawn(spawn);
        out.close_write();
        fd_ = out.release_read();
        // The address line, or everything the program said before it ended.
        const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < give_up) {
            const std::size_t at = said_.find("serving on http://");
            if (at != std::string::npos && said_.find('\n', at) != std::string::npos) {
                const std::size_t colon = said_.find(':', at + 18);
                port_ = std::stoi(said_.substr(colon + 1));
                return;
            }
            if (!read_some(200)) break;
        }
    }
    ~ServeProcess() {
        stop();
        if (fd_ >= 0) ::close(fd_);
    }

    bool started() const { return port_ > 0; }
    int port() const { return port_; }
    // What the program wrote so far.
    const std::string& said() {
        while (read_some(0)) {
        }
        return said_;
    }
    // Ends the program (SIGTERM) and its exit status; -1 when killed by a signal.
    int stop() {
        if (child_.running()) {
            ::kill(child_.pid(), SIGTERM);
            const process::ExitStatus status = child_.wait();
            status_ = status.exited ? status.code : -1;
        }
        return status_;
    }
    // Waits for the program to end on its own.
    int wait() {
        if (child_.running()) {
            const process::ExitStatus status = child_.wait();
            status_ = status.exited ? status.code : -1;
        }
        return status_;
    }
    httplib::Client client(int timeout_s = 30) const {
        httplib::Client c("127.0.0.1", port_);
        c.set_read_timeout(timeout_s);
        c.set_tcp_nodelay(true);
        return c;
    }

private:
    bool read_some(int timeout_ms) {
        pollfd entry{fd_, POLLIN, 0};
        if (::poll(&entry, 1, timeout_ms) <= 0) return timeout_ms > 0 && child_.running();
        char buffer[4096];
        const ssize_t n = ::read(fd_, buffer, sizeof buffer);
        if (n <= 0) return false;
        said_.append(buffer, static_cast<std::size_t>(n));
        return true;
    }

    process::Child child_;
    int fd_ = -1;
    int port_ = -1;
    int status_ = -1;
    std::string said_;
};

// The events of a Server-Sent Events body: (name, data) in order.
inline std::vector<std::pair<std::string, Value>> sse_events(const std::string& body) {
    std::vector<std::pair<std::string, Value>> events;
    std::size_t start = 0;
    while (start < body.size()) {
        std::size_t end = body.find("\n\n", start);
        if (end == std::string::npos) end = body.size();
        const std::string block = body.substr(start, end - start);
        std::string name, data;
        std::size_t line_start = 0;
        while (line_start < block.size()) {
            std::size_t line_end = block.find('\n', line_start);
            if (line_end == std::string::npos) line_end = block.size();
            const std::string line = block.substr(line_start, line_end - line_start);
            if (line.rfind("event: ", 0) == 0) name = line.substr(7);
            if (line.rfind("data: ", 0) == 0) data += line.substr(6);
            line_start = line_end + 1;
        }
        if (!data.empty()) events.emplace_back(name, Value::parse(data));
        start = end + 2;
    }
    return events;
}

}  // namespace veltaai::testing
