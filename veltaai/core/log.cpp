#include "veltaai/core/log.h"

#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>

#include <map>
#include <mutex>

namespace veltaai::log {
namespace {

spdlog::level::level_enum to_spdlog(Level level) {
    switch (level) {
        case Level::debug:
            return spdlog::level::debug;
        case Level::info:
            return spdlog::level::info;
        case Level::warning:
            return spdlog::level::warn;
        case Level::error:
            return spdlog::level::err;
        case Level::off:
            return spdlog::level::off;
    }
    return spdlog::level::info;
}

struct Registry {
    std::mutex mutex;
    // Like Python's logging: nothing below WARNING until someone configures a level.
    Level process_level = Level::warning;
    std::map<std::string, std::shared_ptr<spdlog::logger>> loggers;
    std::map<std::string, Level> own_levels;
    std::shared_ptr<spdlog::sinks::stderr_color_sink_mt> sink =
        std::make_shared<spdlog::sinks::stderr_color_sink_mt>();
};

Registry& registry() {
    static Registry instance;
    return instance;
}

}  // namespace

std::shared_ptr<spdlog::logger> get(const std::string& name) {
    auto& reg = registry();
    std::lock_guard lock(reg.mutex);
    auto it = reg.loggers.find(name);
    if (it != reg.loggers.end()) return it->second;
    auto logger = std::make_shared<spdlog::logger>(name, reg.sink);
    logger->set_pattern("%L:%n:%v");
    const auto own = reg.own_levels.find(name);
    logger->set_level(to_spdlog(own != reg.own_levels.end() ? own->second : reg.process_level));
    reg.loggers.emplace(name, logger);
    return logger;
}

void set_level(Level level) {
    auto& reg = registry();
    std::lock_guard lock(reg.mutex);
    reg.process_level = level;
    for (auto& [name, logger] : reg.loggers) {
        if (!reg.own_levels.count(name)) logger->set_level(to_spdlog(level));
    }
}

Level level() {
    auto& reg = registry();
    std::lock_guard lock(reg.mutex);
    return reg.process_level;
}

void set_level(const std::string& name, Level level) {
    auto logger = get(name);
    auto& reg = registry();
    std::lock_guard lock(reg.mutex);
    reg.own_levels[name] = level;
    logger->set_level(to_spdlog(level));
}

void debug(std::string_view message) {
    get("veltaai")->debug(message);
}
void info(std::string_view message) {
    get("veltaai")->info(message);
}
void warning(std::string_view message) {
    get("veltaai")->warn(message);
}
void error(std::string_view message) {
    get("veltaai")->error(message);
}

}  // namespace veltaai::log
