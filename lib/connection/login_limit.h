// Login's own limit: 10 s for all of it, connect and TLS handshake included,
// and a Logout on another thread calls it off at once.
#ifndef PALAVER_LIB_CONNECTION_LOGIN_LIMIT_H
#define PALAVER_LIB_CONNECTION_LOGIN_LIMIT_H

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>

#include "lib/client/client_state.h"
#include "lib/connection/timing.h"
#include "lib/platform/socket.h"

namespace palaver {

class LoginLimit {
  public:
    using Clock = std::chrono::steady_clock;

    // `alsoOff`, when given, calls it off too once set (a reconnect's try
    // ends when the host ends the connection).
    LoginLimit(const Connection& c, unsigned logoutsBefore,
               const std::atomic<bool>* alsoOff = nullptr)
        : connection_(c),
          logoutsBefore_(logoutsBefore),
          alsoOff_(alsoOff),
          deadline_(Clock::now() + std::chrono::milliseconds(timing().loginLimitMs.load())) {}

    bool called_off() const {
        return connection_.logouts.load() != logoutsBefore_ || connection_.closing.load() ||
               (alsoOff_ != nullptr && alsoOff_->load());
    }

    // Waits with `wait_once(milliseconds)` until the socket is ready, in short
    // slices so that a Logout is seen promptly. False when the wait failed,
    // the time ran out or a Logout called the Login off (last_error() says
    // which: the wait's own error, or a time-out for the other two).
    template <typename WaitOnce>
    bool wait(WaitOnce&& wait_once) const {
        return wait(wait_once, deadline_);
    }
    // The same, giving up at `stopAt` when that comes before the limit.
    template <typename WaitOnce>
    bool wait(WaitOnce&& wait_once, Clock::time_point stopAt) const {
        const Clock::time_point until = std::min(stopAt, deadline_);
        for (;;) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now());
            if (called_off() || left.count() <= 0) {
                platform::set_last_error(platform::timed_out_code());
                return false;
            }
            int slice = static_cast<int>(std::min<long long>(left.count(), kSliceMs));
            switch (wait_once(slice)) {
                case platform::Readiness::Ready:
                    return true;
                case platform::Readiness::Failed:
                    return false;
                case platform::Readiness::TimedOut:
                    break;
            }
        }
    }

    // True when the Login has to stop: called off, or its time is up.
    bool over() const { return called_off() || Clock::now() >= deadline_; }
    // When an attempt that is one of `ways` still to make should end: each
    // gets an equal share of the time that is left.
    Clock::time_point share_of_rest(std::size_t ways) const {
        const Clock::time_point now = Clock::now();
        return deadline_ <= now || ways == 0 ? deadline_
                                             : now + (deadline_ - now) / static_cast<int>(ways);
    }

    // Waits until `s` has bytes to read (or its end).
    bool wait_readable(platform::SocketHandle s) const {
        return wait([s](int ms) { return platform::wait_readable(s, ms); });
    }

  private:
    static constexpr long long kSliceMs = 20;

    const Connection& connection_;
    unsigned logoutsBefore_;
    const std::atomic<bool>* alsoOff_;
    Clock::time_point deadline_;
};

}  // namespace palaver

#endif
