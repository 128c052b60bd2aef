// `veltaai serve` as clients meet it: a separate process on a real port, its model calls
// answered by the chat stub over HTTP, SQL run by SQLite on the Chinook file and the analysis
// code by the real Python kernel.
#include "stubs/chat_stub.h"
#include "stubs/genre_question.h"
#include "tests/scratch.h"
#include "tests/server/serve_process.h"
#include "tests/sql/test_servers.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <fstream>
#include <future>
#include <thread>

namespace veltaai {
namespace {

namespace fs = std::filesystem;
using testing::ServeProcess;

using namespace stubs::genre_question;

const std::string kPlotCode =
    "import matplotlib.pyplot as plt\nplt.bar(['Rock', 'Latin'], [1297, "
    "579])\nplt.savefig('plot.png')\nprint('saved')\n";

// A whole run; stall_ms delays the first model call, image_path is what the model claims.
Value script(long stall_ms = 0, const std::string& code = kPlotCode,
             const std::string& image_path = "plot.png") {
    Value run = replies(TablePick::function_call, code, image_path);
    if (stall_ms > 0) run[0]["stall_ms"] = stall_ms;
    return run;
}

class Serve : public ::testing::Test {
protected:
    Serve() : media_("veltaai-serve") {}

    std::unique_ptr<ServeProcess> start(std::vector<std::string> args = {},
                                        std::map<std::string, std::string> extra = {}) {
        std::map<std::string, std::string> environment = testing::chat_settings(chat_.azure_endpoint());
        environment.merge(extra);
        args.insert(args.end(), {"--database", "sqlite:///" + testing::chinook_sqlite(), "--port", "0",
                                 "--media", media_.path().string()});
        auto server = std::make_unique<ServeProcess>(args, environment);
        EXPECT_TRUE(server->started()) << server->said();
        return server;
    }

    static httplib::Result ask(httplib::Client& client, const std::string& question,
                               httplib::Headers headers = {}) {
        return client.Post("/v1/questions", headers, Value{{"question", question}}.dump(),
                           "application/json");
    }

    stubs::ChatStub chat_{script()};
    testing::ScratchDirectory media_;
};

TEST_F(Serve, AnswersWithTheRecordAndStreamsEveryStepInOrder) {
    auto server = start();
    auto client = server->client();

    auto response = ask(client, kQuestion);
    ASSERT_TRUE(response);
    ASSERT_EQ(response->status, 200) << response->body;
    EXPECT_EQ(response->get_header_value("Content-Type"), "application/json");
    const Value document = Value::parse(response->body);
    expect_answered(document);
    EXPECT_EQ(document["python_code"], kPlotCode);
    EXPECT_EQ(document["python_output"], "saved\n");
    EXPECT_EQ(document["error"], nullptr);
    // Five model calls of 15 tokens each, counted for this question alone.
    EXPECT_EQ(document["tokens"], 75);
    EXPECT_EQ(document["timings"].size(), 10u);
    const std::string id = document["id"];
    EXPECT_EQ(document["image_url"], "/v1/images/" + id + "/plot.png");

    // The same question streamed: accepted, each node started then finished, the record last.
    httplib::Headers stream{{"Accept", "text/event-stream"}};
    response = ask(client, kQuestion, stream);
    ASSERT_TRUE(response);
    ASSERT_EQ(response->status, 200);
    EXPECT_EQ(response->get_header_value("Content-Type"), "text/event-stream");
    const auto events = testing::sse_events(response->body);
    ASSERT_GE(events.size(), 22u) << response->body;
    EXPECT_EQ(events.front().first, "accepted");
    EXPECT_EQ(events.back().first, "answer");
    const Value& streamed = events.back().second;
    EXPECT_EQ(streamed["answer"], kAnswer);
    EXPECT_EQ(streamed["status"], 200);
    EXPECT_EQ(streamed["id"], events.front().second["id"]);
    EXPECT_NE(streamed["id"], id);
    std::vector<std::string> finished;
    for (std::size_t i = 1; i + 1 < events.size(); i += 2) {
        ASSERT_EQ(events[i].first, "started") << i;
        ASSERT_EQ(events[i + 1].first, "finished") << i;
        EXPECT_EQ(events[i].second["node"], events[i + 1].second["node"]);
        EXPECT_EQ(events[i + 1].second["step"], static_cast<int>(i + 1) / 2);
        EXPECT_GE(events[i + 1].second["seconds"].get<double>(), 0.0);
        finished.push_back(events[i + 1].second["node"]);
    }
    ASSERT_EQ(finished.size(), 10u);
    EXPECT_EQ(finished.front(), "init_node");
    EXPECT_EQ(finished[8], "pandas_executor_node");
    EXPECT_EQ(finished.back(), "final_response_generation_node");
    EXPECT_EQ(streamed["timings"].size(), 10u);

    response = client.Get("/healthz");
    ASSERT_TRUE(response);
    EXPECT_EQ(Value::parse(response->body)["in_flight"], 0);
    response = client.Get("/");
    ASSERT_TRUE(response);
    EXPECT_NE(response->body.find("/v1/questions"), std::string::npos);
}

TEST_F(Serve, StreamsAModelCallsRetryBeforeItsAnswer) {
    Value run = script();
    // The first table choice is refused once with a short Retry-After; the retry then succeeds.
    run.insert(run.begin(), Value{{"match", {{"tool", "select_relevant_tables"}}},
                                  {"status", 429},
                                  {"error", "slow down"},
                                  {"retry_after", "0.2"}});
    chat_.set_script(run);
    auto server = start();
    auto client = server->client();
    auto response = ask(client, kQuestion, {{"Accept", "text/event-stream"}});
    ASSERT_TRUE(response);
    const auto events = testing::sse_events(response->body);
    std::vector<Value> retries;
    std::size_t picker_finished = 0;
    for (std::size_t i = 0; i < events.size(); ++i) {
        if (events[i].first == "retry") retries.push_back(events[i].second);
        if (events[i].first == "finished" && events[i].second["node"] == "relevant_table_names_node")
            picker_finished = i;
    }
    ASSERT_EQ(retries.size(), 1u) << response->body;
    EXPECT_EQ(retries[0]["attempt"], 1);
    EXPECT_EQ(retries[0]["status"], 429);
    EXPECT_NEAR(retries[0]["wait_seconds"].get<double>(), 0.2, 0.05);
    // Heard while the picker's node was still running, not after it.
    std::size_t retry_at = 0;
    while (events[retry_at].first != "retry") ++retry_at;
    EXPECT_LT(retry_at, picker_finished);
    EXPECT_EQ(events.back().second["answer"], kAnswer);

    // The plain answer carries no events, and another question hears no retry of this one.
    response = ask(client, kQuestion, {{"Accept", "text/event-stream"}});
    ASSERT_TRUE(response);
    for (const auto& [event, data] : testing::sse_events(response->body)) EXPECT_NE(event, "retry");
}

TEST_F(Serve, ServesAPlotOnlyFromInsideItsOwnRunsDirectory) {
    auto server = start();
    auto client = server->client();
    const Value document = Value::parse(ask(client, "Plot the genres")->body);
    const std::string url = document["image_url"];
    auto response = client.Get(url);
    ASSERT_TRUE(response);
    ASSERT_EQ(response->status, 200);
    EXPECT_EQ(response->get_header_value("Content-Type"), "image/png");
    EXPECT_EQ(response->body.substr(1, 3), "PNG");
    const std::string run = document["id"];

    // Planted by someone with access to the media root: a link out, a linked run directory,
    // files a browser would run.
    const fs::path outside = media_ / ".." / ("veltaai-serve-outside-" + std::to_string(getpid()));
    fs::create_directories(outside);
    { std::ofstream(outside / "secret.png") << "secret"; }
    fs::create_symlink(outside / "secret.png", media_ / run / "leak.png");
    fs::create_symlink("/etc/passwd", media_ / run / "passwd.png");
    const std::string linked_run(32, 'a');
    fs::create_directory_symlink(outside, media_ / linked_run);
    { std::ofstream(media_ / run / "page.svg") << "<svg onload='alert(1)'/>"; }
    { std::ofstream(media_ / run / "page.html") << "<script>alert(1)</script>"; }
    for (const std::string& path :
         {"/v1/images/" + run + "/leak.png", "/v1/images/" + run + "/passwd.png",
          "/v1/images/" + linked_run + "/secret.png", "/v1/images/" + run + "/page.svg",
          "/v1/images/" + run + "/page.html", "/v1/images/" + run + "/missing.png",
          "/v1/images/" + std::string(32, 'b') + "/plot.png", "/v1/images/" + run + "/..%2f..%2fetc%2fpasswd",
          "/v1/images/" + run + "/%2e%2e", "/v1/images/..%2f" + run + "/plot.png",
          "/v1/images/../" + run + "/plot.png", "/v1/images/" + run + "/.plot.png",
          "/v1/images/" + run + "/plot.png%00.png", "/v1/images/" + run.substr(0, 31) + "A/plot.png",
          "/v1/images/" + run + "/plot.png/"}) {
        response = client.Get(path);
        ASSERT_TRUE(response) << path;
        EXPECT_EQ(response->status, 404) << path;
        EXPECT_EQ(response->body.find("secret"), std::string::npos) << path;
        EXPECT_EQ(response->body.find("root:"), std::string::npos) << path;
    }
    fs::remove_all(outside);

    // The model names a file outside the run's directory: no image is offered.
    for (const std::string& claim : std::vector<std::string>{
             "/etc/passwd", "../../etc/passwd", outside.string() + "/secret.png", "plot.png/.."}) {
        chat_.set_script(script(0, kPlotCode, claim));
        const Value claimed = Value::parse(ask(client, "Plot the genres")->body);
        EXPECT_EQ(claimed["image_url"], nullptr) << claim;
    }
}

TEST_F(Serve, AskingNeedsTheTokenWhenOneIsSetAndOffLoopback) {
    auto server = start({}, {{"VELTAAI_SERVER_TOKEN", "s3cret-token"}});
    auto client = server->client();
    for (const std::string header :
         {"", "Bearer", "Bearer ", "Bearer s3cret", "Bearer s3cret-token2", "bearer s3cret-token",
          "Basic s3cret-token", "Bearer  s3cret-token", "s3cret-token"}) {
        httplib::Headers headers;
        if (!header.empty()) headers.emplace("Authorization", header);
        auto response = ask(client, "q", headers);
        ASSERT_TRUE(response);
        EXPECT_EQ(response->status, 401) << header;
        response = client.Get("/v1/images/" + std::string(32, 'a') + "/plot.png", headers);
        EXPECT_EQ(response->status, 401) << header;
    }
    EXPECT_EQ(chat_.request_count(), 0u);
    auto response = ask(client, "Top genres?", {{"Authorization", "Bearer s3cret-token"}});
    ASSERT_TRUE(response);
    EXPECT_EQ(response->status, 200) << response->body;
    EXPECT_EQ(client.Get("/healthz")->status, 200);

    // A public address without a token: refused before listening.
    ServeProcess open(
        {"--host", "0.0.0.0", "--port", "0", "--database", "sqlite:///" + testing::chinook_sqlite()},
        testing::chat_settings(chat_.azure_endpoint()));
    EXPECT_FALSE(open.started());
    EXPECT_EQ(open.wait(), 2);
    EXPECT_NE(open.said().find("VELTAAI_SERVER_TOKEN"), std::string::npos) << open.said();
}

TEST_F(Serve, RefusesOversizedOrMalformedQuestionsAndTooManyAtOnce) {
    auto server = start({"--max-in-flight", "2"});
    auto client = server->client();
    const auto post = [&client](const std::string& body) {
        return client.Post("/v1/questions", body, "application/json");
    };
    EXPECT_EQ(post(std::string(70 * 1024, 'x'))->status, 413);
    EXPECT_EQ(post(Value{{"question", std::string(5000, 'q')}}.dump())->status, 413);
    EXPECT_EQ(post("{\"question\": ")->status, 400);
    EXPECT_EQ(post("[\"question\"]")->status, 400);
    EXPECT_EQ(post("{\"question\": 42}")->status, 400);
    EXPECT_EQ(post("{\"question\": \"  \\n\"}")->status, 400);
    EXPECT_EQ(post("{}")->status, 400);
    EXPECT_EQ(chat_.request_count(), 0u);

    // Two slow questions fill the server; a third is turned away until they end.
    chat_.set_script(script(1500, "print('ok')\n"));
    std::vector<std::future<int>> slow;
    for (int i = 0; i < 2; ++i) {
        slow.push_back(std::async(std::launch::async, [this, &server] {
            auto own = server->client();
            auto response = ask(own, "slow");
            return response ? response->status : -1;
        }));
    }
    while (chat_.request_count() < 2) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    auto refused = ask(client, "one too many");
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->status, 429);
    EXPECT_EQ(refused->get_header_value("Retry-After"), "1");
    for (auto& done : slow) EXPECT_EQ(done.get(), 200);
    chat_.set_script(script());
    EXPECT_EQ(ask(client, "now there is room")->status, 200);
}

// Sends a question over a raw socket and hangs up after wait.
void ask_and_hang_up(int port, bool streaming, std::chrono::milliseconds wait) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const std::string body = R"({"question": "will hang up"})";
    const std::string request =
        "POST /v1/questions HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\n" +
        std::string(streaming ? "Accept: text/event-stream\r\n" : "") +
        "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    ASSERT_EQ(::send(fd, request.data(), request.size(), 0), static_cast<ssize_t>(request.size()));
    std::this_thread::sleep_for(wait);
    ::close(fd);
}

int in_flight(ServeProcess& server) {
    auto client = server.client();
    auto response = client.Get("/healthz");
    return response ? Value::parse(response->body)["in_flight"].get<int>() : -1;
}

// Waits up to limit for the server to have no question in flight; the time it took.
std::chrono::milliseconds settle(ServeProcess& server, std::chrono::milliseconds limit) {
    const auto started = std::chrono::steady_clock::now();
    while (in_flight(server) != 0 && std::chrono::steady_clock::now() - started < limit) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
}

TEST_F(Serve, AQuestionStopsAtItsDeadlineOrWhenItsClientHangsUp) {
    auto server = start({"--deadline", "0.6"});
    auto client = server->client();

    // A model that answers after 5 s: the question ends at its deadline with 504.
    chat_.set_script(script(5000));
    auto started = std::chrono::steady_clock::now();
    auto response = ask(client, "slow");
    ASSERT_TRUE(response);
    EXPECT_EQ(response->status, 504) << response->body;
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(2000));
    const Value late = Value::parse(response->body);
    EXPECT_NE(late["error"]["message"].get<std::string>().find("deadline"), std::string::npos) << late;
    EXPECT_EQ(late["answer"], nullptr);
    server.reset();

    server = start({"--deadline", "30"});
    auto fresh = server->client();
    // Hung up while the model thinks, on either kind of answer: the model call is given up at
    // once and nothing after it runs.
    for (const bool streaming : {false, true}) {
        chat_.clear_requests();
        ask_and_hang_up(server->port(), streaming, std::chrono::milliseconds(300));
        EXPECT_LT(settle(*server, std::chrono::milliseconds(3000)), std::chrono::milliseconds(1500))
            << streaming;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        EXPECT_EQ(chat_.request_count(), 1u) << streaming;
    }

    // Hung up while the analysis code runs: the run is stopped, and the next question is
    // answered by a fresh interpreter.
    chat_.set_script(script(0, "import time\ntime.sleep(20)\nprint('woke')\n"));
    ask_and_hang_up(server->port(), false, std::chrono::milliseconds(1500));
    EXPECT_LT(settle(*server, std::chrono::milliseconds(5000)), std::chrono::milliseconds(1500));
    chat_.set_script(script(0, "print('after')\n"));
    response = ask(fresh, "again");
    ASSERT_TRUE(response);
    EXPECT_EQ(response->status, 200) << response->body;
    EXPECT_EQ(Value::parse(response->body)["python_output"], "after\n");
}

}  // namespace
}  // namespace veltaai
