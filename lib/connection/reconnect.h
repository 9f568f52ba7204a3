// Reconnect: what a client needs to log in again after its connection broke
// (the last login's record and login string), the host's back-off settings,
// and one try, shared by the receive thread and host-driven clients.
#ifndef PALAVER_LIB_CONNECTION_RECONNECT_H
#define PALAVER_LIB_CONNECTION_RECONNECT_H

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <mutex>

#include "Palaver.h"

namespace palaver {

class ClientState;
class RoomEvents;
struct Connection;

struct ReconnectDelays {
    int minMs = 250;
    int maxMs = 10000;
    int jitterPercent = 20;
    int maxTries = 0;  // 0: without end

    // The wait before try `tries` (0 for the first), moved by the jitter.
    std::chrono::milliseconds before_try(int tries, unsigned random) const;
};

class Reconnect {
  public:
    std::atomic<bool> enabled{false};
    // The client is away and will try again; cleared when back, when the
    // tries stop, and by a Logout.
    std::atomic<bool> away{false};
    // The code of the last failed try since the break; PALAVER_OK when none.
    std::atomic<int> lastError{0};

    void set_delays(const ReconnectDelays& delays);
    ReconnectDelays delays() const;
    // Kept by each successful Login: the record as the host gave it.
    void remember(const stUserInfo& record, const char* login, std::size_t length);
    void forget();

    enum class Outcome {
        Back,       // logged in again
        Failed,     // try again after the back-off
        Stop,       // refused by the server, or nothing to log in with: no more tries
        Abandoned,  // the host is ending the connection or freeing the client
    };
    // The connection broke and tries follow: the waits hear of the break
    // once (PALAVER_EVENT_DISCONNECTED), not as a level through the back-off.
    void begin(RoomEvents& events);
    // No more tries: unless the host is ending the connection, the break is
    // reported as a level from now on, as without reconnect.
    void give_up(const Connection& c, RoomEvents& events);

    // One try: a whole Login with the remembered record, installed in place
    // of the broken connection. Blocks like a Login (its 10 s limit); a
    // Logout or the client's free calls it off.
    Outcome try_once(ClientState& state);

  private:
    mutable std::mutex lock_;
    ReconnectDelays delays_;        // under lock_
    stUserInfo record_{};           // under lock_
    std::array<char, 21> login_{};  // under lock_
    std::size_t loginLength_ = 0;   // under lock_
    bool known_ = false;            // under lock_
};

// The receive thread after its connection broke: tries until back (true, the
// thread reads on), or until the tries stop or the host ends it (false).
bool reconnect_from_thread(ClientState& state);

}  // namespace palaver

#endif
