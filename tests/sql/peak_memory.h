#pragma once
// The process's peak resident set (VmHWM of /proc/self/status), for tests and benchmarks that
// bound the host's memory.

#include <fstream>
#include <string>

namespace veltaai::testing {

// In KiB; -1 when the kernel does not say.
inline long peak_rss_kib() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
    }
    return -1;
}

}  // namespace veltaai::testing
