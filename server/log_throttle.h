// One warning repeated many times a second (a bus that refuses every publish
// of a node holding the wrong credentials, say) would bury the rest of the
// log. A text is written the first time, then at most once an interval,
// with how many repeats were held back since.
#ifndef PALAVER_SERVER_LOG_THROTTLE_H
#define PALAVER_SERVER_LOG_THROTTLE_H

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace palaver::server {

class LogThrottle {
  public:
    using Clock = std::chrono::steady_clock;

    explicit LogThrottle(Clock::duration interval) : interval_(interval) {}

    // The line to write now for `text`, or nothing while it is held back.
    std::optional<std::string> pass(const std::string& text, Clock::time_point now);

  private:
    struct Seen {
        Clock::time_point written;
        std::uint64_t held = 0;
    };
    // Texts come from a small set; the bound only keeps a stream of distinct
    // ones from growing the table.
    static constexpr std::size_t kMaxTexts = 64;

    Clock::duration interval_;
    std::map<std::string, Seen> seen_;
};

}  // namespace palaver::server

#endif
