// Drawing the query graph: as text on standard output, or as an image fetched from a local
// Mermaid rendering stub and saved in the format the file name asks for.
#include "stubs/chat_stub.h"
#include "stubs/stub_server.h"
#include "tests/sql/test_servers.h"
#include "veltaai/querygraph/custom_sql.h"
#include "veltaai/querygraph/querygraph.h"

#include <gtest/gtest.h>
#include <stb_image.h>
#include <stb_image_write.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>

namespace veltaai::querygraph {
namespace {

namespace fs = std::filesystem;

constexpr int kWidth = 4;
constexpr int kHeight = 3;

// A small RGB picture: one colour per row.
std::string sample_png() {
    std::vector<unsigned char> pixels;
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) pixels.insert(pixels.end(), {static_cast<unsigned char>(80 * y), 200, 30});
    }
    std::string png;
    stbi_write_png_to_func([](void* out, void* data, int size) { static_cast<std::string*>(out)->append(static_cast<char*>(data), size); },
                           &png, kWidth, kHeight, 3, pixels.data(), kWidth * 3);
    return png;
}

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string base64url_decode(const std::string& text) {
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::string out;
    int bits = 0, value = 0;
    for (char c : text) {
        if (c == '=') break;
        const auto at = alphabet.find(c);
        if (at == std::string::npos) throw std::runtime_error(std::string("not base64url: ") + c);
        value = (value << 6) | static_cast<int>(at);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += static_cast<char>((value >> bits) & 0xFF);
        }
    }
    return out;
}

class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        ::setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() { old_ ? ::setenv(name_, old_->c_str(), 1) : ::unsetenv(name_); }

private:
    const char* name_;
    std::optional<std::string> old_;
};

class ScopedWorkingDirectory {
public:
    explicit ScopedWorkingDirectory(const fs::path& path) : old_(fs::current_path()) { fs::current_path(path); }
    ~ScopedWorkingDirectory() { fs::current_path(old_); }

private:
    fs::path old_;
};

class VisualizeGraph : public ::testing::Test {
protected:
    VisualizeGraph()
        : dir_(fs::temp_directory_path() / ("querygraph-draw-" + std::to_string(::getpid()))),
          graph_(CustomSQLDatabase::from_uri("sqlite:///" + testing::chinook_sqlite()),
                 AzureOpenAIChat35{"http://127.0.0.1:9", "k", "v", "gpt35"},
                 AzureOpenAIChat4{"http://127.0.0.1:9", "k", "v", "gpt4"}) {
        fs::create_directories(dir_);
        renderer_.route("GET", "/img/.*", [this](const stubs::RecordedRequest&) {
            std::lock_guard lock(mutex_);
            if (failing_) return stubs::StubResponse{503, "renderer down", "text/plain", {}};
            return stubs::StubResponse{200, body_, "image/png", {}};
        });
        renderer_.start();
    }
    ~VisualizeGraph() override { fs::remove_all(dir_); }

    std::vector<fs::path> files() const {
        std::vector<fs::path> found;
        for (const auto& entry : fs::directory_iterator(dir_)) found.push_back(entry.path().filename());
        return found;
    }

    fs::path dir_;
    QueryGraph graph_;
    stubs::StubServer renderer_;
    // What the renderer answers; read on the server's thread.
    void answer(std::string body, bool failing = false) {
        std::lock_guard lock(mutex_);
        body_ = std::move(body);
        failing_ = failing;
    }

    std::mutex mutex_;
    std::string body_ = sample_png();
    bool failing_ = false;
    ScopedEnv renderer_url_{"VELTAAI_MERMAID_URL", renderer_.url() + "/"};
};

TEST_F(VisualizeGraph, AsciiGoesToStandardOutputAndWritesNothing) {
    ScopedWorkingDirectory cwd(dir_);
    ::testing::internal::CaptureStdout();
    graph_.visualize_graph();
    const std::string printed = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(printed, graph_.compiled_graph().get_graph().draw_ascii());
    EXPECT_NE(printed.find("rewrite_query_node"), std::string::npos);
    EXPECT_TRUE(files().empty());
    EXPECT_EQ(renderer_.request_count(), 0u);
}

TEST_F(VisualizeGraph, ImageIsRenderedFromTheMermaidTextAndSavedByExtension) {
    {
        ScopedWorkingDirectory cwd(dir_);
        graph_.visualize_graph("png");  // default name, relative to the working directory
    }
    ASSERT_EQ(files(), std::vector<fs::path>{"graph_visualization.png"});
    EXPECT_EQ(read_file(dir_ / "graph_visualization.png").substr(1, 3), "PNG");

    ASSERT_EQ(renderer_.request_count(), 1u);
    const auto request = renderer_.requests()[0];
    EXPECT_EQ(request.query, "type=png");
    ASSERT_TRUE(request.path.starts_with("/img/"));
    EXPECT_EQ(base64url_decode(request.path.substr(5)), graph_.compiled_graph().get_graph().draw_mermaid());

    // Any type but exactly "ascii" takes the image branch; the extension picks the format.
    const std::vector<std::pair<std::string, std::string>> formats = {
        {"graph.JPG", "\xFF\xD8"}, {"graph.jpeg", "\xFF\xD8"}, {"graph.bmp", "BM"}, {"graph.tga", ""}};
    for (const auto& [name, magic] : formats) {
        graph_.visualize_graph("ASCII", (dir_ / name).string());
        const std::string bytes = read_file(dir_ / name);
        EXPECT_TRUE(bytes.starts_with(magic)) << name;
        int width = 0, height = 0, channels = 0;
        ASSERT_TRUE(stbi_info_from_memory(reinterpret_cast<const stbi_uc*>(bytes.data()), static_cast<int>(bytes.size()),
                                          &width, &height, &channels))
            << name;
        EXPECT_EQ(width, kWidth) << name;
        EXPECT_EQ(height, kHeight) << name;
    }
    EXPECT_EQ(files().size(), 5u);  // no partial files left behind
}

TEST_F(VisualizeGraph, FailuresLeaveNoFile) {
    EXPECT_THROW(graph_.visualize_graph("png", (dir_ / "graph.gif").string()), ValueError);
    EXPECT_EQ(renderer_.request_count(), 0u);  // refused before asking the renderer

    answer(sample_png(), true);
    try {
        graph_.visualize_graph("png", (dir_ / "down.png").string());
        ADD_FAILURE() << "a failed rendering was accepted";
    } catch (const HttpError& e) {
        EXPECT_EQ(e.status(), 503);
    }

    answer("<html>not an image</html>");
    EXPECT_THROW(graph_.visualize_graph("png", (dir_ / "garbled.png").string()), ValueError);

    answer(sample_png());
    EXPECT_THROW(graph_.visualize_graph("png", (dir_ / "missing" / "graph.png").string()), Error);
    EXPECT_TRUE(files().empty());

    {
        ScopedEnv unreachable("VELTAAI_MERMAID_URL", "http://127.0.0.1:9");
        EXPECT_THROW(graph_.visualize_graph("png", (dir_ / "offline.png").string()), HttpError);
    }
    EXPECT_TRUE(files().empty());
}

}  // namespace
}  // namespace veltaai::querygraph
