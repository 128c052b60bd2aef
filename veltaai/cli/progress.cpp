#include "veltaai/cli/progress.h"

#include <unistd.h>

#include <cstdio>

namespace veltaai::cli {
namespace {

constexpr const char* clear_line = "\r\033[K";
constexpr std::chrono::milliseconds redraw_interval{100};

std::string seconds_text(double seconds, const char* format) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, format, seconds);
    return buffer;
}

std::string retry_text(const llm::RetryEvent& event) {
    const double wait = std::chrono::duration<double>(event.wait).count();
    std::string line = "  retrying in " + seconds_text(wait, "%.1f") + " s after ";
    if (event.status != 0) return line + std::to_string(event.status);
    return line + "no answer" + (event.reason.empty() ? "" : " (" + event.reason + ")");
}

}  // namespace

std::string duration_text(std::chrono::nanoseconds duration) {
    const double elapsed = std::chrono::duration<double>(duration).count();
    return elapsed < 1 ? seconds_text(elapsed * 1000, "%.0f ms") : seconds_text(elapsed, "%.2f s");
}

Progress::Mode Progress::mode_for(bool quiet) {
    if (quiet) return Mode::silent;
    return ::isatty(STDERR_FILENO) ? Mode::live : Mode::lines;
}

Progress::Progress(Mode mode, std::ostream& out) : mode_(mode), out_(out) {
    if (mode_ == Mode::live) ticker_ = std::thread([this] { tick(); });
}

Progress::~Progress() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (ticker_.joinable()) ticker_.join();
    if (mode_ == Mode::live) out_ << clear_line << std::flush;
}

graph::RunObserver Progress::run_observer() {
    return [this](const graph::RunEvent& event) { on_run_event(event); };
}

llm::RetryObserver Progress::retry_observer() {
    return [this](const llm::RetryEvent& event) { on_retry(event); };
}

std::vector<NodeTiming> Progress::timings() const {
    const std::lock_guard lock(mutex_);
    return timings_;
}

void Progress::on_run_event(const graph::RunEvent& event) {
    const std::lock_guard lock(mutex_);
    const std::string node(event.node);
    if (event.kind == graph::RunEvent::Kind::started) {
        running_[node] = clock::now();
    } else {
        running_.erase(node);
        timings_.push_back({node, std::chrono::duration<double>(event.duration).count()});
    }
    switch (mode_) {
        case Mode::silent:
            return;
        case Mode::live:
            draw_live_line();
            return;
        case Mode::lines:
            break;
    }
    out_ << "  [" << event.step << "] " << node;
    switch (event.kind) {
        case graph::RunEvent::Kind::started:
            out_ << " started";
            break;
        case graph::RunEvent::Kind::finished:
            out_ << " " << duration_text(event.duration);
            break;
        case graph::RunEvent::Kind::failed:
            out_ << " failed after " << duration_text(event.duration);
            break;
    }
    out_ << std::endl;
}

void Progress::on_retry(const llm::RetryEvent& event) {
    const std::lock_guard lock(mutex_);
    if (mode_ == Mode::silent) return;
    if (mode_ == Mode::live) out_ << clear_line;
    out_ << retry_text(event) << std::endl;
    if (mode_ == Mode::live) draw_live_line();
}

void Progress::draw_live_line() {
    const clock::time_point now = clock::now();
    std::string nodes;
    for (const auto& [node, since] : running_) {
        nodes += (nodes.empty() ? "" : ", ") + node + " " + duration_text(now - since);
    }
    out_ << clear_line << "  " << duration_text(now - started_) << "  " << (nodes.empty() ? "..." : nodes)
         << std::flush;
}

void Progress::tick() {
    std::unique_lock lock(mutex_);
    while (!wake_.wait_for(lock, redraw_interval, [this] { return stopping_; })) draw_live_line();
}

}  // namespace veltaai::cli
