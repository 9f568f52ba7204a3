// What a host waiting on a client wakes for: lines or actions to take, a
// changed user set, a connection that broke. The receive thread says when
// something arrived; the waiters look at the stores themselves, so nothing
// is missed between a look and a wait.
#ifndef PALAVER_LIB_CLIENT_ROOM_EVENTS_H
#define PALAVER_LIB_CLIENT_ROOM_EVENTS_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace palaver {

class RoomEvents {
  public:
    // The receive thread, after it stored what a read brought. Costs one
    // atomic load when nobody waits.
    void notify() {
        if (waiters_.load() > 0) {
            { std::lock_guard<std::mutex> hold(lock_); }
            wake_.notify_all();
        }
    }

    void mark_users_changed() { usersChanged_.store(true); }
    // True once per change: the reader of the user set takes the mark.
    bool take_users_changed() { return usersChanged_.exchange(false); }
    bool users_changed() const { return usersChanged_.load(); }

    void set_broken(bool broken) {
        broken_.store(broken);
        if (broken) {
            notify();
        }
    }
    bool broken() const { return broken_.load(); }

    // Waits until `ready()` gives non-zero or `timeout` passes (negative: no
    // end); returns the last ready() value.
    template <typename Ready>
    int wait(Ready&& ready, std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> hold(lock_);
        waiters_.fetch_add(1);
        int result = ready();
        if (result == 0 && timeout.count() != 0) {
            auto check = [&] { return (result = ready()) != 0; };
            if (timeout.count() < 0) {
                wake_.wait(hold, check);
            } else {
                wake_.wait_for(hold, timeout, check);
            }
        }
        waiters_.fetch_sub(1);
        return result;
    }

  private:
    std::mutex lock_;
    std::condition_variable wake_;
    std::atomic<int> waiters_{0};
    std::atomic<bool> usersChanged_{false};
    std::atomic<bool> broken_{false};
};

}  // namespace palaver

#endif
