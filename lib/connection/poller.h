// Many clients, one thread: the state behind a palaver_poller, a set of
// clients of either kind and one wait
// for any of them. The wait does the host-driven members' work (as
// process()) and reports each member with something to take.
//
// Lock order: the process-wide membership lock, the poller's members lock,
// then the members' own locks (client_watch.h); the ready lock is a leaf.
#ifndef PALAVER_LIB_CONNECTION_POLLER_H
#define PALAVER_LIB_CONNECTION_POLLER_H

#include <cstddef>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "lib/client/client_state.h"
#include "lib/platform/event_signal.h"

namespace palaver {

class PollerState : public ClientWatch::Listener {
  public:
    struct Ready {
        void* member;  // null for the poller's own wake-up
        int events;
    };

    PollerState();
    ~PollerState();  // every member leaves
    PollerState(const PollerState&) = delete;
    PollerState& operator=(const PollerState&) = delete;

    // False when the system gave no wake-up signal: the poller is unusable.
    bool usable() const { return wake_ != nullptr; }

    // `member` is how the host names the client (its handle).
    bool add(ClientState& state, void* member);
    bool remove(ClientState& state);
    // A client that is being freed leaves whichever poller holds it.
    static void leave_any(ClientState& state);

    std::size_t wait(Ready* ready, std::size_t capacity, int timeoutMs);
    void wakeup();

    void member_changed(void* member) override;

  private:
    struct Member {
        ClientState* state;
    };

    bool remove_locked(ClientState& state);
    // Members flagged since the last look that have something, into `ready`.
    std::size_t collect(Ready* ready, std::size_t capacity);
    // Waits for the host-driven members' sockets and the wake-up, then does
    // the work of those ready or due. The caller holds `members` locked; it
    // is let go during the wait.
    void wait_and_process(std::unique_lock<std::mutex>& members, int timeoutMs);

    std::mutex membersLock_;
    std::unordered_map<void*, Member> members_;  // under membersLock_

    std::mutex readyLock_;  // a leaf
    std::vector<void*> flagged_;
    std::unordered_set<void*> flaggedSet_;
    bool wakeAsked_ = false;
    std::unique_ptr<platform::EventSignal> wake_;  // raised under readyLock_
};

}  // namespace palaver

#endif
