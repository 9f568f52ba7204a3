// The connection's timers. The product runs with the real values; tests that
// link the internal library shorten them here. Not exported.
#ifndef PALAVER_LIB_CONNECTION_TIMING_H
#define PALAVER_LIB_CONNECTION_TIMING_H

#include <atomic>

namespace palaver {

struct Timing {
    static constexpr int kReceiveTimeoutMs = 10000;
    static constexpr int kKeepAlivePeriodMs = 20000;
    static constexpr int kLoginLimitMs = 10000;  // all of Login, connect included

    std::atomic<int> receiveTimeoutMs{kReceiveTimeoutMs};
    std::atomic<int> keepAlivePeriodMs{kKeepAlivePeriodMs};
    std::atomic<int> loginLimitMs{kLoginLimitMs};
};

Timing& timing();

}  // namespace palaver

#endif
