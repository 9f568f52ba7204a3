// Login's own limit: 10 s for all of it, connect and TLS handshake included,
// and a Logout on another thread calls it off at once.
#ifndef PALAVER_LIB_CONNECTION_LOGIN_LIMIT_H
#define PALAVER_LIB_CONNECTION_LOGIN_LIMIT_H

#include <algorithm>
#include <chrono>

#include "lib/client/client_state.h"
#include "lib/connection/timing.h"
#include "lib/platform/socket.h"

namespace palaver {

class LoginLimit {
  public:
    LoginLimit(const Connection& c, unsigned logoutsBefore)
        : connection_(c),
          logoutsBefore_(logoutsBefore),
          deadline_(Clock::now() + std::chrono::milliseconds(timing().loginLimitMs.load())) {}

    bool called_off() const { return connection_.logouts.load() != logoutsBefore_; }

    // Waits with `wait_once(milliseconds)` until the socket is ready, in short
    // slices so that a Logout is seen promptly. False when the wait failed,
    // the time ran out or a Logout called the Login off (last_error() says
    // which: the wait's own error, or a time-out for the other two).
    template <typename WaitOnce>
    bool wait(WaitOnce&& wait_once) const {
        for (;;) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline_ - Clock::now());
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

    // Waits until `s` has bytes to read (or its end).
    bool wait_readable(platform::SocketHandle s) const {
        return wait([s](int ms) { return platform::wait_readable(s, ms); });
    }

  private:
    using Clock = std::chrono::steady_clock;
    static constexpr long long kSliceMs = 20;

    const Connection& connection_;
    unsigned logoutsBefore_;
    Clock::time_point deadline_;
};

}  // namespace palaver

#endif
