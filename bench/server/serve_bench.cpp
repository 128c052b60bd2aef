// Load on `veltaai serve`: questions per second, time over the model's own, and the server's
// memory. The chat stub answers every call after --stall-ms; the server runs as its own
// process on the Chinook file.
//
//   serve_bench --stall-ms 0 --in-flight 16 --questions 2000
//   serve_bench --stall-ms 500 --in-flight 64 --questions 640
//   serve_bench --stall-ms 0 --in-flight 16 --questions 5000 --soak
#include "stubs/chat_stub.h"
#include "tests/server/serve_process.h"
#include "tests/sql/test_servers.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <thread>

namespace {

using namespace veltaai;
using Clock = std::chrono::steady_clock;
constexpr int kModelCalls = 5;  // per question, each stalled

Value script(long stall_ms) {
    const std::string query = "SELECT COUNT(*) FROM Track";
    Value replies = Value::array({
        {{"match", {{"tool", "select_relevant_tables"}}},
         {"tool_call",
          {{"name", "select_relevant_tables"}, {"arguments", {{"relevant_tables", {"Track"}}}}}}},
        {{"match", {{"tool", "SQLQueryInput"}}}, {"structured", {{"sql_query", query}}}},
        {{"match", {{"tool", "PythonCodeInput"}}}, {"structured", {{"code", "print(3503)\n"}}}},
        {{"match", {{"tool", "GenerationOutput"}}},
         {"structured", {{"image_path", ""}, {"final_response", "3503 tracks"}}}},
        {{"match", {{"any_contains", "You are reviewing a"}}}, {"content", "```sql\n" + query + "\n```"}},
    });
    for (Value& reply : replies) {
        reply["repeat"] = true;
        if (stall_ms > 0) reply["stall_ms"] = stall_ms;
    }
    return replies;
}

long status_kb(int pid, const std::string& field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
    }
    return -1;
}

int server_pid(int port) {
    // The child of this process that listens on port: the only veltaai child we started.
    std::ifstream children("/proc/self/task/" + std::to_string(::getpid()) + "/children");
    int pid = -1;
    children >> pid;
    (void)port;
    return pid;
}

double percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1,
                           static_cast<std::size_t>(p * static_cast<double>(values.size())))];
}

}  // namespace

int main(int argc, char** argv) {
    long stall_ms = 0;
    int in_flight = 16;
    int questions = 1000;
    bool soak = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--stall-ms" && i + 1 < argc)
            stall_ms = std::stol(argv[++i]);
        else if (arg == "--in-flight" && i + 1 < argc)
            in_flight = std::stoi(argv[++i]);
        else if (arg == "--questions" && i + 1 < argc)
            questions = std::stoi(argv[++i]);
        else if (arg == "--soak")
            soak = true;
        else {
            std::fprintf(stderr,
                         "usage: serve_bench [--stall-ms N] [--in-flight N] [--questions N] [--soak]\n");
            return 2;
        }
    }
    stubs::ChatStub chat(script(stall_ms));
    const auto media = std::filesystem::temp_directory_path() / "veltaai-serve-bench";
    testing::ServeProcess server(
        {"--database", "sqlite:///" + testing::chinook_sqlite(), "--port", "0", "--media", media.string(),
         "--max-in-flight", std::to_string(std::max(64, in_flight))},
        testing::chat_settings(chat.azure_endpoint()));
    if (!server.started()) {
        std::fprintf(stderr, "the server did not start: %s\n", server.said().c_str());
        return 1;
    }
    const int pid = server_pid(server.port());

    // The first question starts the analysis kernel (about 0.7 s); the figures are for a warm server.
    {
        auto client = server.client(120);
        client.Post("/v1/questions", Value{{"question", "warm-up"}}.dump(), "application/json");
    }

    std::atomic<int> next{0};
    std::atomic<int> failed{0};
    std::mutex mutex;
    std::vector<double> overheads;
    std::vector<std::pair<int, long>> rss;  // (questions done, kB)
    std::atomic<int> done{0};
    const auto run = [&] {
        auto client = server.client(120);
        for (int i = next++; i < questions; i = next++) {
            const auto started = Clock::now();
            auto response = client.Post("/v1/questions",
                                        Value{{"question", "How many tracks? #" + std::to_string(i)}}.dump(),
                                        "application/json");
            const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
            if (!response || response->status != 200) {
                ++failed;
                continue;
            }
            const int finished = ++done;
            const std::lock_guard lock(mutex);
            overheads.push_back(seconds - kModelCalls * static_cast<double>(stall_ms) / 1000.0);
            if (soak && finished % 500 == 0) rss.emplace_back(finished, status_kb(pid, "VmRSS"));
        }
    };
    const auto started = Clock::now();
    std::vector<std::thread> clients;
    for (int c = 0; c < in_flight; ++c) clients.emplace_back(run);
    for (auto& thread : clients) thread.join();
    const double elapsed = std::chrono::duration<double>(Clock::now() - started).count();

    std::printf("stall %ld ms x %d calls, %d in flight, %d questions (%d failed)\n", stall_ms, kModelCalls,
                in_flight, questions, failed.load());
    std::printf("  %.1f questions/s over %.2f s\n", static_cast<double>(done.load()) / elapsed, elapsed);
    std::printf("  time over the model's own: p50 %.1f ms, p99 %.1f ms\n", 1000 * percentile(overheads, 0.50),
                1000 * percentile(overheads, 0.99));
    std::printf("  server RSS: peak %ld kB, now %ld kB\n", status_kb(pid, "VmHWM"), status_kb(pid, "VmRSS"));
    for (const auto& [count, kb] : rss) std::printf("    after %5d questions: %ld kB\n", count, kb);
    std::filesystem::remove_all(media);
    return failed.load() == 0 ? 0 : 1;
}
