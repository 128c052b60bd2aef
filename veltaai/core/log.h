#pragma once
// The leveled logger of veltaai: a named spdlog logger per component writing to standard error,
// all sharing one process-wide level. Info carries node timings, debug the picker's tools,
// error failed configuration fetches.

#include <spdlog/logger.h>

#include <memory>
#include <string>
#include <string_view>

namespace veltaai::log {

enum class Level { debug, info, warning, error, off };

// The process-wide level of the "veltaai" logger and of every logger without its own level.
void set_level(Level level);
Level level();

// The logger named name, created on first use. The HTTP client's logger is "http".
std::shared_ptr<spdlog::logger> get(const std::string& name);
// A named logger's own level, kept when the process-wide level changes afterwards.
void set_level(const std::string& name, Level level);

// Messages of the package's main logger.
void debug(std::string_view message);
void info(std::string_view message);
void warning(std::string_view message);
void error(std::string_view message);

}  // namespace veltaai::log
