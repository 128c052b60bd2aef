#include "veltaai/core/status.h"

#include <atomic>
#include <iostream>
#include <mutex>

namespace veltaai {
namespace {

std::atomic<std::ostream*> current{&std::cout};
std::mutex printing;

}  // namespace

void set_status_stream(std::ostream& out) {
    current.store(&out);
}

std::ostream& status_stream() {
    return *current.load();
}

void status_line(std::string_view line) {
    const std::lock_guard lock(printing);
    std::ostream& out = status_stream();
    out << line << std::endl;
}

}  // namespace veltaai
