// The HTTP client against a real HTTP server on a loopback port: what is sent and received,
// redirects, time limits, unreachable servers, and one client shared by many threads.
#include "veltaai/core/http.h"

#include "stubs/stub_server.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

namespace veltaai {
namespace {

using namespace std::chrono_literals;
using stubs::StubResponse;
using stubs::StubServer;

// A loopback port that nothing listens on: bound, then closed.
int closed_port() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

class HttpClient : public ::testing::Test {
protected:
    HttpClient() {
        server_.route("GET", "/echo", [](const stubs::RecordedRequest& request) {
            StubResponse response = StubResponse::json(
                200, Value{{"key", request.header("X-Api-Key")}, {"query", request.query}});
            response.headers.push_back({"X-Trace", "t-1"});
            return response;
        });
        server_.route("POST", "/items", [](const stubs::RecordedRequest& request) {
            return StubResponse::json(201,
                                      Value{{"type", request.header("content-type")}, {"got", request.body}});
        });
        server_.route("GET", "/moved", [](const stubs::RecordedRequest&) {
            return StubResponse{302, "", "text/plain", {{"Location", "/echo?from=moved"}}};
        });
        server_.route("GET", "/missing", [](const stubs::RecordedRequest&) {
            return StubResponse{404, "no such thing", "text/plain", {}};
        });
        server_.route("GET", "/slow", [this](const stubs::RecordedRequest&) {
            server_.pause(3s);
            return StubResponse{200, "late", "text/plain", {}};
        });
        server_.start();
    }

    StubServer server_;
    http::Client client_;
};

TEST_F(HttpClient, SendsHeadersAndBodiesAndReadsEverythingBack) {
    const http::Response echo = client_.get(server_.url() + "/echo?a=1", {{"X-Api-Key", "k-1"}});
    EXPECT_EQ(echo.status, 200);
    EXPECT_EQ(echo.reason, "OK");
    EXPECT_TRUE(echo.ok());
    EXPECT_EQ(echo.json(), Value({{"key", "k-1"}, {"query", "a=1"}}));
    EXPECT_EQ(echo.header("x-trace"), "t-1");
    EXPECT_EQ(echo.header("X-TRACE"), "t-1") << "names match in any case";
    EXPECT_EQ(echo.header("absent"), "");
    EXPECT_GT(echo.elapsed.count(), 0);

    const http::Response created = client_.post_json(server_.url() + "/items", Value{{"n", 1}});
    EXPECT_EQ(created.status, 201);
    EXPECT_EQ(created.json(), Value({{"type", "application/json"}, {"got", {{"n", 1}}}}));
    const http::Response typed = client_.post_json(server_.url() + "/items", Value{{"n", 2}},
                                                   {{"Content-Type", "application/json; charset=utf-8"}});
    EXPECT_EQ(typed.json()["type"], "application/json; charset=utf-8") << "a given content type is kept";

    const http::Response moved = client_.get(server_.url() + "/moved");
    EXPECT_EQ(moved.status, 200);
    EXPECT_EQ(moved.url, server_.url() + "/echo?from=moved");
    EXPECT_EQ(moved.json()["query"], "from=moved");
    EXPECT_EQ(moved.header("location"), "") << "only the last answer's headers are kept";

    const http::Response missing = client_.get(server_.url() + "/missing");
    EXPECT_EQ(missing.status, 404);
    EXPECT_EQ(missing.reason, "Not Found");
    EXPECT_FALSE(missing.ok());
    EXPECT_EQ(missing.body, "no such thing");
    EXPECT_THROW(missing.json(), ValueError);
}

TEST_F(HttpClient, TimeLimitsAndUnreachableServersAreErrorsWithoutAStatus) {
    const auto started = std::chrono::steady_clock::now();
    try {
        client_.get(server_.url() + "/slow", {}, 300ms);
        ADD_FAILURE() << "a late answer was accepted";
    } catch (const http::TimeoutError& e) {
        EXPECT_EQ(e.status(), 0);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);

    try {
        client_.get("http://127.0.0.1:" + std::to_string(closed_port()) + "/", {}, 2s);
        ADD_FAILURE() << "a closed port answered";
    } catch (const http::TimeoutError&) {
        ADD_FAILURE() << "a refused connection is not a time-out";
    } catch (const HttpError& e) {
        EXPECT_EQ(e.status(), 0);
    }
    // The client is still good afterwards.
    EXPECT_EQ(client_.get(server_.url() + "/echo").status, 200);
}

TEST_F(HttpClient, OneClientServesManyThreads) {
    std::atomic<int> answered{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 25; ++i) {
                const std::string key = std::to_string(t) + "-" + std::to_string(i);
                const http::Response r = client_.get(server_.url() + "/echo", {{"X-Api-Key", key}});
                if (r.status == 200 && r.json()["key"] == key) ++answered;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(answered.load(), 200);
    EXPECT_EQ(server_.request_count(), 200u);
}

}  // namespace
}  // namespace veltaai
