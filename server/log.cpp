#include "server/log.h"

#include <chrono>
#include <ctime>
#include <iostream>

namespace palaver::server {
namespace {

const char* level_name(Level level) {
    switch (level) {
        case Level::Debug:
            return "DEBUG";
        case Level::Info:
            return "INFO";
        case Level::Warn:
            return "WARN";
        case Level::Error:
            return "ERROR";
    }
    return "?";
}

// UTC with milliseconds, e.g. 2026-01-02T03:04:05.678Z.
std::string timestamp() {
    auto now = std::chrono::system_clock::now();
    std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()) % 1000;
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[40];
    std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    std::snprintf(text + n, sizeof text - n, ".%03dZ", static_cast<int>(ms.count()));
    return text;
}

}  // namespace

std::optional<Level> parse_level(std::string_view name) {
    if (name == "debug") {
        return Level::Debug;
    }
    if (name == "info") {
        return Level::Info;
    }
    if (name == "warn") {
        return Level::Warn;
    }
    if (name == "error") {
        return Level::Error;
    }
    return std::nullopt;
}

Log::Log(Level minimum) : Log(minimum, std::cerr) {}

Log::Log(Level minimum, std::ostream& out) : minimum_(minimum), out_(&out) {}

void Log::emit(Level level, const std::string& text) {
    std::string line = timestamp();
    line += ' ';
    line += level_name(level);
    line += ' ';
    line += text;
    line += '\n';
    std::lock_guard<std::mutex> hold(lock_);
    out_->write(line.data(), static_cast<std::streamsize>(line.size()));
    out_->flush();
}

}  // namespace palaver::server
