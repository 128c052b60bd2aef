#pragma once
// Loading a .env file into the process environment. Variables that are already set keep their
// values, so the real environment always wins over the file.

#include <filesystem>
#include <optional>

namespace veltaai {

// The .env file of the current directory or, failing that, of the nearest parent directory.
std::optional<std::filesystem::path> find_dotenv();

// Reads KEY=VALUE lines ("export KEY=VALUE", quotes, # comments and blank lines allowed) from
// path, or from find_dotenv() when path is empty, and sets each variable that is not yet set.
// Returns whether a file was read.
bool load_dotenv(const std::filesystem::path& path = {});

}  // namespace veltaai
