#pragma once
// What the command line shows while a question runs, on standard error: a line when each node
// starts and ends and one per retry of a model call; on a terminal a single live line with the
// running node and the time it has taken instead; nothing when silent. It also keeps each
// node's timing for the answer document.

#include "veltaai/answer_document.h"
#include "veltaai/graph/run_config.h"
#include "veltaai/llm/service.h"

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

namespace veltaai::cli {

class Progress {
public:
    enum class Mode { silent, lines, live };

    // live when standard error is a terminal, else lines; silent when quiet.
    static Mode mode_for(bool quiet);

    Progress(Mode mode, std::ostream& out);
    // Clears the live line, so what follows starts on a clean line.
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    // Observers bound to this object; it must outlive the run.
    graph::RunObserver run_observer();
    llm::RetryObserver retry_observer();

    std::vector<NodeTiming> timings() const;

private:
    using clock = std::chrono::steady_clock;

    void on_run_event(const graph::RunEvent& event);
    void on_retry(const llm::RetryEvent& event);
    void draw_live_line();  // with mutex_ held
    void tick();

    Mode mode_;
    std::ostream& out_;
    const clock::time_point started_ = clock::now();
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::map<std::string, clock::time_point> running_;
    std::vector<NodeTiming> timings_;
    std::thread ticker_;  // live mode only; last, so it starts after everything it reads
};

// "3 ms" below a second, else "1.25 s".
std::string duration_text(std::chrono::nanoseconds duration);

}  // namespace veltaai::cli
