#include "veltaai/core/dotenv.h"

#include <cstdlib>
#include <fstream>
#include <string>

namespace veltaai {
namespace {

std::string trim(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) return {};
    const auto last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

// The value part of a line: quoted values keep their inside (double quotes understand \n, \t,
// \" and \\); unquoted values end at an inline " #" comment.
std::string parse_value(const std::string& raw) {
    const std::string value = trim(raw);
    if (value.empty()) return value;
    const char quote = value[0];
    if ((quote == '"' || quote == '\'') && value.size() >= 2) {
        const auto close = value.find(quote, 1);
        std::string inside = value.substr(1, (close == std::string::npos ? value.size() : close) - 1);
        if (quote == '\'') return inside;
        std::string out;
        for (std::size_t i = 0; i < inside.size(); ++i) {
            if (inside[i] == '\\' && i + 1 < inside.size()) {
                const char next = inside[++i];
                out += next == 'n' ? '\n' : next == 't' ? '\t' : next;
            } else {
                out += inside[i];
            }
        }
        return out;
    }
    const auto comment = value.find(" #");
    return trim(comment == std::string::npos ? value : value.substr(0, comment));
}

}  // namespace

std::optional<std::filesystem::path> find_dotenv() {
    std::error_code ec;
    auto dir = std::filesystem::current_path(ec);
    if (ec) return std::nullopt;
    while (true) {
        const auto candidate = dir / ".env";
        if (std::filesystem::is_regular_file(candidate, ec)) return candidate;
        if (!dir.has_parent_path() || dir.parent_path() == dir) return std::nullopt;
        dir = dir.parent_path();
    }
}

bool load_dotenv(const std::filesystem::path& path) {
    std::filesystem::path file = path;
    if (file.empty()) {
        const auto found = find_dotenv();
        if (!found) return false;
        file = *found;
    }
    std::ifstream in(file);
    if (!in) return false;
    std::string line;
    while (std::getline(in, line)) {
        std::string text = trim(line);
        if (text.empty() || text[0] == '#') continue;
        if (text.rfind("export ", 0) == 0) text = trim(text.substr(7));
        const auto eq = text.find('=');
        if (eq == std::string::npos) continue;
        const std::string key = trim(text.substr(0, eq));
        if (key.empty()) continue;
        ::setenv(key.c_str(), parse_value(text.substr(eq + 1)).c_str(), /*overwrite=*/0);
    }
    return true;
}

}  // namespace veltaai
