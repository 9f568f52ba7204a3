#include "server/log_throttle.h"

namespace palaver::server {

std::optional<std::string> LogThrottle::pass(const std::string& text, Clock::time_point now) {
    auto it = seen_.find(text);
    if (it == seen_.end()) {
        if (seen_.size() >= kMaxTexts) {
            seen_.clear();
        }
        seen_.emplace(text, Seen{now, 0});
        return text;
    }
    Seen& seen = it->second;
    if (now - seen.written < interval_) {
        ++seen.held;
        return std::nullopt;
    }
    std::string line = text;
    if (seen.held > 0) {
        line += " (" + std::to_string(seen.held) + " more like it held back)";
    }
    seen = Seen{now, 0};
    return line;
}

}  // namespace palaver::server
