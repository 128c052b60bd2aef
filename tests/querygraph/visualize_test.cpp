// Drawing the query graph: as text on standard output, or as an image fetched from a local
// Mermaid rendering stub and saved in the format the file name asks for.
#include "stubs/stub_server.h"
#include "tests/sql/test_servers.h"
#include "veltaai/querygraph/custom_sql.h"
#include "veltaai/querygraph/querygraph.h"

#include <gtest/gtest.h>
#include <stb_image.h>
#include <stb_image_write.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>

namespace veltaai::querygraph {
namespace {

namespace fs = std::filesystem;

// A 4x3 RGB picture, as the renderer would send it.
std::string sample_png() {
    const std::vector<unsigned char> pixels(4 * 3 * 3, 200);
    std::string png;
    stbi_write_png_to_func(
        [](void* out, void* data, int size) {
            static_cast<std::string*>(out)->append(static_cast<char*>(data), size);
        },
        &png, 4, 3, 3, pixels.data(), 4 * 3);
    return png;
}

std::string base64url_decode(const std::string& text) {
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::string out;
    int bits = 0, value = 0;
    for (char c : text.substr(0, text.find('='))) {
        value = (value << 6) | static_cast<int>(alphabet.find(c));
        if ((bits += 6) >= 8) out += static_cast<char>((value >> (bits -= 8)) & 0xFF);
    }
    return out;
}

class VisualizeGraph : public ::testing::Test {
protected:
    VisualizeGraph()
        : graph_(CustomSQLDatabase::from_uri("sqlite:///" + testing::chinook_sqlite()),
                 AzureOpenAIChat35{"http://127.0.0.1:9", "k", "v", "gpt35"},
                 AzureOpenAIChat4{"http://127.0.0.1:9", "k", "v", "gpt4"}) {
        fs::create_directories(dir_);
        renderer_.route("GET", "/img/.*", [this](const stubs::RecordedRequest&) {
            std::lock_guard lock(mutex_);
            return stubs::StubResponse{status_, body_, "image/png", {}};
        });
        renderer_.start();
        ::setenv("VELTAAI_MERMAID_URL", (renderer_.url() + "/").c_str(), 1);
    }
    ~VisualizeGraph() override {
        ::unsetenv("VELTAAI_MERMAID_URL");
        fs::remove_all(dir_);
    }

    void answer(int status, std::string body) {
        std::lock_guard lock(mutex_);
        status_ = status;
        body_ = std::move(body);
    }
    std::string read(const std::string& name) const {
        std::ostringstream bytes;
        bytes << std::ifstream(dir_ / name, std::ios::binary).rdbuf();
        return bytes.str();
    }
    std::size_t file_count() const {
        return static_cast<std::size_t>(
            std::distance(fs::directory_iterator(dir_), fs::directory_iterator()));
    }

    const fs::path dir_ = fs::temp_directory_path() / ("querygraph-draw-" + std::to_string(::getpid()));
    QueryGraph graph_;
    stubs::StubServer renderer_;
    std::mutex mutex_;
    int status_ = 200;
    std::string body_ = sample_png();
};

TEST_F(VisualizeGraph, AsciiOnStandardOutputElseAnImageInTheFormatOfTheExtension) {
    const fs::path cwd = fs::current_path();
    fs::current_path(dir_);
    ::testing::internal::CaptureStdout();
    graph_.visualize_graph();
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), graph_.compiled_graph().get_graph().draw_ascii());
    EXPECT_EQ(file_count(), 0u);
    graph_.visualize_graph("png");  // the default name, in the working directory
    fs::current_path(cwd);
    EXPECT_EQ(read("graph_visualization.png").substr(1, 3), "PNG");

    ASSERT_EQ(renderer_.request_count(), 1u);
    const auto request = renderer_.requests()[0];
    EXPECT_EQ(request.query, "type=png");
    EXPECT_EQ(base64url_decode(request.path.substr(std::string("/img/").size())),
              graph_.compiled_graph().get_graph().draw_mermaid());

    // Any type but exactly "ascii" draws an image; the extension, in any case, picks the format.
    for (const auto& [name, magic] : std::vector<std::pair<std::string, std::string>>{
             {"g.JPG", "\xFF\xD8"}, {"g.jpeg", "\xFF\xD8"}, {"g.bmp", "BM"}, {"g.tga", ""}}) {
        graph_.visualize_graph("ASCII", (dir_ / name).string());
        const std::string bytes = read(name);
        int width = 0, height = 0, channels = 0;
        EXPECT_TRUE(bytes.starts_with(magic)) << name;
        EXPECT_TRUE(stbi_info_from_memory(reinterpret_cast<const stbi_uc*>(bytes.data()),
                                          static_cast<int>(bytes.size()), &width, &height, &channels) &&
                    width == 4 && height == 3)
            << name;
    }
    EXPECT_EQ(file_count(), 5u);
}

TEST_F(VisualizeGraph, FailuresLeaveNoFile) {
    EXPECT_THROW(graph_.visualize_graph("png", (dir_ / "g.gif").string()), ValueError);
    EXPECT_EQ(renderer_.request_count(), 0u);  // refused before asking the renderer
    EXPECT_THROW(graph_.visualize_graph("png", (dir_ / "missing" / "g.png").string()), Error);
    answer(503, "renderer down");
    EXPECT_THROW(graph_.visualize_graph("png", (dir_ / "down.png").string()), HttpError);
    answer(200, "<html>not an image</html>");
    EXPECT_THROW(graph_.visualize_graph("png", (dir_ / "garbled.png").string()), ValueError);
    ::setenv("VELTAAI_MERMAID_URL", "http://127.0.0.1:9", 1);
    EXPECT_THROW(graph_.visualize_graph("png", (dir_ / "offline.png").string()), HttpError);
    EXPECT_EQ(file_count(), 0u);
}

}  // namespace
}  // namespace veltaai::querygraph
