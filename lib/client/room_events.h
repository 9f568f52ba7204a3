// What a host waiting on a client wakes for: lines or actions to take, a
// changed user set, a connection that broke, or a wake the host asked for.
// The receive thread says when something arrived; the waiters look at the
// stores themselves, so nothing is missed between a look and a wait.
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

    // Wakes one waiter, or the next wait when nobody waits: the wake is kept
    // until a wait takes it, and wakes asked for before then count as one.
    void wake_one() {
        {
            std::lock_guard<std::mutex> hold(lock_);
            wakePending_ = true;
        }
        wake_.notify_all();  // every waiter looks; the first to look takes it
    }
    // Wakes every thread waiting now (a logout); later waits are not woken.
    void wake_all() {
        {
            std::lock_guard<std::mutex> hold(lock_);
            ++wakeRound_;
        }
        wake_.notify_all();
    }
    // The client is being freed: every wait, now or still to come, returns.
    void close() {
        {
            std::lock_guard<std::mutex> hold(lock_);
            closed_ = true;
        }
        wake_.notify_all();
    }

    // Threads inside wait() now.
    int waiting() const { return waiters_.load(); }

    // Waits until `ready()` gives non-zero, a wake comes or `timeout` passes
    // (negative: no end); returns the last ready() value, with `wakeBit` added
    // when a wake ended the wait.
    template <typename Ready>
    int wait(Ready&& ready, std::chrono::milliseconds timeout, int wakeBit) {
        std::unique_lock<std::mutex> hold(lock_);
        waiters_.fetch_add(1);
        const unsigned round = wakeRound_;
        // Under lock_: only one wait takes a kept wake.
        auto look = [&] {
            bool woken = closed_ || wakeRound_ != round || wakePending_;
            wakePending_ = false;
            return ready() | (woken ? wakeBit : 0);
        };
        int result = look();
        if (result == 0 && timeout.count() != 0) {
            auto check = [&] { return (result = look()) != 0; };
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
    // Guarded by lock_.
    bool wakePending_ = false;
    unsigned wakeRound_ = 0;
    bool closed_ = false;
};

}  // namespace palaver

#endif
