// When the connection's next KeepAlive is due: one every period after Login.
#ifndef PALAVER_LIB_CONNECTION_KEEP_ALIVE_H
#define PALAVER_LIB_CONNECTION_KEEP_ALIVE_H

#include <chrono>

#include "lib/connection/timing.h"

namespace palaver {

class KeepAliveClock {
  public:
    using Clock = std::chrono::steady_clock;

    KeepAliveClock()
        : period_(std::chrono::milliseconds(timing().keepAlivePeriodMs.load())),
          next_(Clock::now() + period_) {}

    // True once per period; the caller sends the KeepAlive.
    bool due() {
        auto now = Clock::now();
        if (now < next_) {
            return false;
        }
        // Late by more than a period (a long blocked send): start afresh.
        next_ = now - next_ > period_ ? now + period_ : next_ + period_;
        return true;
    }
    Clock::time_point next() const { return next_; }

  private:
    Clock::duration period_;
    Clock::time_point next_;
};

}  // namespace palaver

#endif
