#include "server/log.h"

#include <chrono>
#include <ctime>
#include <iostream>
#include <ostream>

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

// A control byte: it could end the line or steer a terminal.
bool is_control(unsigned char c) {
    return c < 0x20 || c == 0x7f;
}

bool needs_escape(unsigned char c) {
    return is_control(c) || c == '\\' || c == '"';
}

// Appends `text` with the bytes `escape` picks as \xNN.
void append_escaped(std::string& out, std::string_view text, bool (*escape)(unsigned char)) {
    static constexpr char kHex[] = "0123456789abcdef";
    for (char ch : text) {
        auto c = static_cast<unsigned char>(ch);
        if (escape(c)) {
            out += {'\\', 'x', kHex[c >> 4], kHex[c & 0xf]};
        } else {
            out += ch;
        }
    }
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

std::string escaped(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    append_escaped(out, text, needs_escape);
    return out;
}

std::ostream& operator<<(std::ostream& out, Untrusted text) {
    return out << escaped(text.text);
}

Log::Log(Level minimum) : Log(minimum, std::cerr) {}

Log::Log(Level minimum, std::ostream& out) : minimum_(minimum), out_(&out) {}

void Log::emit(Level level, const std::string& text) {
    std::string line = timestamp();
    line += ' ';
    line += level_name(level);
    line += ' ';
    append_escaped(line, text, is_control);
    line += '\n';
    std::lock_guard<std::mutex> hold(lock_);
    out_->write(line.data(), static_cast<std::streamsize>(line.size()));
    out_->flush();
}

}  // namespace palaver::server
