#include "veltaai/server/question.h"

#include "veltaai/answer_document.h"
#include "veltaai/core/log.h"
#include "veltaai/llm/service.h"
#include "veltaai/llm/usage.h"
#include "veltaai/querygraph/querygraph.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <mutex>
#include <system_error>

namespace veltaai::server {
namespace fs = std::filesystem;

namespace {

const char* kind_name(graph::RunEvent::Kind kind) {
    switch (kind) {
        case graph::RunEvent::Kind::started:
            return "started";
        case graph::RunEvent::Kind::finished:
            return "finished";
        case graph::RunEvent::Kind::failed:
            return "failed";
    }
    return "unknown";
}

// The plot's name inside run_dir, when image_path (absolute, or relative to the run's
// directory) names a regular file directly in it; the model's text is never trusted further.
std::optional<std::string> plot_in(const fs::path& run_dir, const std::string& image_path) {
    if (image_path.empty()) return std::nullopt;
    fs::path path(image_path);
    if (path.is_relative()) path = run_dir / path;
    std::error_code error;
    const fs::path real = fs::canonical(path, error);
    if (error || real.parent_path() != fs::canonical(run_dir, error) || error) return std::nullopt;
    if (!fs::is_regular_file(fs::symlink_status(path, error))) return std::nullopt;
    return real.filename().string();
}

}  // namespace

std::string new_run_id() {
    unsigned char bytes[16];
    const int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0 || ::read(fd, bytes, sizeof bytes) != static_cast<ssize_t>(sizeof bytes)) {
        if (fd >= 0) ::close(fd);
        throw std::system_error(errno, std::generic_category(), "cannot read /dev/urandom");
    }
    ::close(fd);
    std::string id;
    char hex[3];
    for (const unsigned char byte : bytes) {
        std::snprintf(hex, sizeof hex, "%02x", byte);
        id += hex;
    }
    return id;
}

bool is_run_id(const std::string& id) {
    if (id.size() != 32) return false;
    for (const char c : id) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return true;
}

QuestionResult answer_question(const querygraph::QueryGraph& graph, const std::string& question,
                               const fs::path& media_root, const std::string& run_id,
                               std::shared_ptr<const Cancellation> cancellation,
                               std::optional<std::chrono::steady_clock::time_point> deadline,
                               const EventSink& events) {
    const fs::path run_dir = media_root / run_id;
    fs::create_directories(run_dir);

    AnswerRun run;
    run.question = question;
    std::mutex timings_mutex;
    graph::RunObserver observer = [&](const graph::RunEvent& event) {
        const double seconds = std::chrono::duration<double>(event.duration).count();
        if (event.kind != graph::RunEvent::Kind::started) {
            const std::lock_guard lock(timings_mutex);
            run.timings.push_back({std::string(event.node), seconds});
        }
        if (!events) return;
        Value record = {
            {"event", kind_name(event.kind)}, {"node", std::string(event.node)}, {"step", event.step}};
        if (event.kind != graph::RunEvent::Kind::started) record["seconds"] = seconds;
        events(record);
    };

    QuestionResult result;
    {
        llm::UsageScope usage;  // this thread's and the run's workers' calls only
        // A model call that waits to retry says so, so a slow answer is explained as it happens.
        llm::RetryScope retries([&](const llm::RetryEvent& retry) {
            if (!events) return;
            Value record = {{"event", "retry"},
                            {"attempt", retry.attempt},
                            {"wait_seconds", std::chrono::duration<double>(retry.wait).count()},
                            {"status", retry.status}};
            if (!retry.reason.empty()) record["reason"] = retry.reason;
            events(record);
        });
        try {
            run.final_state = graph.invoke({{"user_question", question}, {"save_path", run_dir.string()}},
                                           observer, std::move(cancellation), deadline);
        } catch (const DeadlineExceeded& error) {
            run.error = error.what();
            result.status = 504;
        } catch (const RunCancelled& error) {
            run.error = error.what();
            result.status = 499;
        } catch (const std::exception& error) {
            run.error = error.what();
            result.status = 500;
            log::get("server")->warn("question {} failed: {}", run_id, error.what());
        }
        run.tokens = usage.total_tokens();
        run.cost = usage.total_cost();
    }

    result.document = answer_document(run);
    result.document["id"] = run_id;
    result.document["image_url"] = nullptr;
    const Value& image = result.document["image_path"];
    if (image.is_string()) {
        if (const auto name = plot_in(run_dir, image.get<std::string>())) {
            result.document["image_url"] = "/v1/images/" + run_id + "/" + *name;
        }
    }
    std::error_code ignored;
    if (fs::is_empty(run_dir, ignored)) fs::remove(run_dir, ignored);
    return result;
}

}  // namespace veltaai::server
