#pragma once
// One question answered for the HTTP server: its own media directory, usage scope and
// cancellation token, the graph's progress as events, and the answer document at the end.

#include "veltaai/core/cancellation.h"
#include "veltaai/core/value.h"

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace veltaai::querygraph {
class QueryGraph;
}  // namespace veltaai::querygraph

namespace veltaai::server {

// What a finished question gives: the answer document and the HTTP status that fits it
// (200 answered, 500 the run failed, 504 its deadline passed, 499 cancelled).
struct QuestionResult {
    Value document;
    int status = 200;
};

// Receives each progress event as {"event": "started"|"finished"|"failed", "node", "step",
// "seconds"}; called one event at a time, possibly from a worker thread of the run.
using EventSink = std::function<void(const Value& event)>;

// A random identifier of 32 hexadecimal digits, from the operating system's generator.
std::string new_run_id();

// Whether id has the form new_run_id() gives.
bool is_run_id(const std::string& id);

// Runs question through graph with media_root/<run_id> as its media directory. The document
// is answer_document's, plus "id" (the run) and "image_url" (/v1/images/<run>/<file>, or null
// when the run saved no plot inside its directory). A media directory left empty is removed.
QuestionResult answer_question(const querygraph::QueryGraph& graph, const std::string& question,
                               const std::filesystem::path& media_root, const std::string& run_id,
                               std::shared_ptr<const Cancellation> cancellation,
                               std::optional<std::chrono::steady_clock::time_point> deadline,
                               const EventSink& events);

}  // namespace veltaai::server
