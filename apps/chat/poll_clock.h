// The steady rate at which the front ends ask the library for news.
#ifndef PALAVER_CHAT_POLL_CLOCK_H
#define PALAVER_CHAT_POLL_CLOCK_H

#include <algorithm>
#include <chrono>

namespace palaver::chat {

class PollClock {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds kPeriod{50};

    // True once per period; the next tick keeps the rhythm instead of drifting.
    bool due(Clock::time_point now) {
        if (now < next_) {
            return false;
        }
        next_ = std::max(next_ + kPeriod, now);
        return true;
    }

    // How long a wait for input may last before the next tick, in ms.
    int wait_ms(Clock::time_point now) const {
        if (now >= next_) {
            return 0;
        }
        const auto ms = std::chrono::ceil<std::chrono::milliseconds>(next_ - now).count();
        return static_cast<int>(ms);
    }

  private:
    Clock::time_point next_ = Clock::now();
};

}  // namespace palaver::chat

#endif
