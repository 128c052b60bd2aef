// Two `veltaai serve` instances behind nginx on loopback, sharing one media root: every
// question sent through the balancer is answered, with its own answer, by either instance,
// and each plot can be fetched through the balancer whichever instance made it.
#include "stubs/chat_stub.h"
#include "tests/server/serve_process.h"
#include "tests/sql/test_servers.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>

#include <fstream>
#include <future>
#include <set>
#include <thread>

namespace veltaai {
namespace {

namespace fs = std::filesystem;
constexpr int kQuestions = 24;

Value script() {
    const std::string query = "SELECT COUNT(*) FROM Track";
    const std::string code =
        "import matplotlib.pyplot as plt\nplt.bar(['tracks'], [3503])\nplt.savefig('plot.png')\n";
    Value replies = Value::array({
        {{"match", {{"tool", "select_relevant_tables"}}},
         {"repeat", true},
         {"stall_ms", 100},
         {"tool_call",
          {{"name", "select_relevant_tables"}, {"arguments", {{"relevant_tables", {"Track"}}}}}}},
        {{"match", {{"tool", "SQLQueryInput"}}}, {"repeat", true}, {"structured", {{"sql_query", query}}}},
        {{"match", {{"tool", "PythonCodeInput"}}}, {"repeat", true}, {"structured", {{"code", code}}}},
        {{"match", {{"any_contains", "You are reviewing a"}}},
         {"content", "```sql\n" + query + "\n```"},
         {"repeat", true}},
    });
    for (int i = 0; i < kQuestions; ++i) {
        const std::string marker = "<q" + std::to_string(i) + ">";
        replies.push_back(
            {{"match", {{"tool", "GenerationOutput"}, {"any_contains", marker}}},
             {"repeat", true},
             {"structured", {{"image_path", "plot.png"}, {"final_response", "answer to " + marker}}}});
    }
    return replies;
}

int free_port() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    ::close(fd);
    return ntohs(address.sin_port);
}

// nginx in the foreground with its whole configuration and state in dir.
class Nginx {
public:
    Nginx(const fs::path& dir, int port, const std::vector<int>& upstreams) {
        std::ofstream conf(dir / "nginx.conf");
        conf << "daemon off;\nworker_processes 1;\npid " << (dir / "nginx.pid").string() << ";\nerror_log "
             << (dir / "error.log").string()
             << " warn;\nevents { worker_connections 512; }\nhttp {\n  access_log off;\n";
        for (const char* temp : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"})
            conf << "  " << temp << "_temp_path " << (dir / temp).string() << ";\n";
        conf << "  upstream veltaai {\n";
        for (const int upstream : upstreams) conf << "    server 127.0.0.1:" << upstream << ";\n";
        conf << "    keepalive 16;\n  }\n  server {\n    listen 127.0.0.1:" << port << ";\n"
             << "    location / {\n      proxy_pass http://veltaai;\n      proxy_http_version 1.1;\n"
             << "      proxy_set_header Connection \"\";\n      proxy_buffering off;\n"
             << "      add_header X-Upstream $upstream_addr always;\n    }\n  }\n}\n";
        conf.close();
        process::SpawnOptions spawn;
        spawn.argv = {
            "/usr/sbin/nginx",           "-p", dir.string(), "-c", (dir / "nginx.conf").string(), "-e",
            (dir / "error.log").string()};
        spawn.stdin_null = true;
        child_ = process::spawn(spawn);
        httplib::Client probe("127.0.0.1", port);
        for (int i = 0; i < 100 && !probe.Get("/healthz"); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ~Nginx() {
        if (child_.running()) {
            ::kill(child_.pid(), SIGTERM);
            child_.wait();
        }
    }

private:
    process::Child child_;
};

TEST(ServeBehindNginx, TwoInstancesAnswerEveryQuestionAndShareTheirPlots) {
    ASSERT_TRUE(fs::exists("/usr/sbin/nginx")) << "nginx is installed by scripts/install-deps.sh";
    const fs::path dir = fs::temp_directory_path() / ("veltaai-nginx-" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir / "media");
    stubs::ChatStub chat(script());
    std::vector<std::unique_ptr<testing::ServeProcess>> instances;
    for (int i = 0; i < 2; ++i) {
        instances.push_back(std::make_unique<testing::ServeProcess>(
            std::vector<std::string>{"--database", "sqlite:///" + testing::chinook_sqlite(), "--port", "0",
                                     "--media", (dir / "media").string()},
            testing::chat_settings(chat.azure_endpoint())));
        ASSERT_TRUE(instances.back()->started()) << instances.back()->said();
    }
    const int port = free_port();
    Nginx nginx(dir, port, {instances[0]->port(), instances[1]->port()});

    std::vector<std::future<std::pair<Value, std::string>>> answers;
    for (int i = 0; i < kQuestions; ++i) {
        answers.push_back(std::async(std::launch::async, [port, i] {
            httplib::Client client("127.0.0.1", port);
            client.set_read_timeout(30);
            const std::string question = "How many tracks? <q" + std::to_string(i) + ">";
            auto response =
                client.Post("/v1/questions", Value{{"question", question}}.dump(), "application/json");
            if (!response)
                return std::make_pair(Value{{"transport", httplib::to_string(response.error())}},
                                      std::string());
            Value document = Value::parse(response->body);
            document["http_status"] = response->status;
            return std::make_pair(document, response->get_header_value("X-Upstream"));
        }));
    }
    std::set<std::string> upstreams;
    httplib::Client client("127.0.0.1", port);
    for (int i = 0; i < kQuestions; ++i) {
        const auto [document, upstream] = answers[static_cast<std::size_t>(i)].get();
        const std::string marker = "<q" + std::to_string(i) + ">";
        ASSERT_EQ(document.value("http_status", 0), 200) << document;
        EXPECT_EQ(document["question"], "How many tracks? " + marker);
        EXPECT_EQ(document["answer"], "answer to " + marker);
        EXPECT_EQ(document["queries"][0]["rows"], Value::parse("[[3503]]"));
        upstreams.insert(upstream);
        ASSERT_TRUE(document["image_url"].is_string()) << document;
        // Asked again through the balancer, which may pick the other instance.
        for (int twice = 0; twice < 2; ++twice) {
            auto image = client.Get(document["image_url"].get<std::string>());
            ASSERT_TRUE(image);
            EXPECT_EQ(image->status, 200);
            EXPECT_EQ(image->body.substr(1, 3), "PNG");
        }
    }
    EXPECT_EQ(upstreams.size(), 2u) << "both instances answered";
    fs::remove_all(dir);
}

}  // namespace
}  // namespace veltaai
