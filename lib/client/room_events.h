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

// Told of every change to what a wait would report (something stored, taken,
// woken, broken), outside every room lock: the level-triggered descriptor and
// a poller's membership watch through it.
class EventWatch {
  public:
    virtual void changed() = 0;

  protected:
    ~EventWatch() = default;
};

class RoomEvents {
  public:
    // The receive thread, after it stored what a read brought. Costs one
    // atomic load when nobody waits and nobody watches.
    void notify() {
        if (waiters_.load() > 0) {
            { std::lock_guard<std::mutex> hold(lock_); }
            wake_.notify_all();
        }
        changed();
    }

    // Set once, to a watch that lives as long as the client.
    void watch(EventWatch* watch) { watch_.store(watch, std::memory_order_release); }
    void changed() {
        if (EventWatch* watch = watch_.load(std::memory_order_acquire)) {
            watch->changed();
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
        } else {
            changed();
        }
    }

    // Bits reported once, by the wait that takes them: a reconnect, and a
    // break while reconnect tries go on (a level would make every waiting
    // loop spin through the back-off).
    void report_once(int bits) {
        {
            std::lock_guard<std::mutex> hold(lock_);
            once_ |= bits;
        }
        wake_.notify_all();
        changed();
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
        changed();
    }
    // Wakes every thread waiting now (a logout); later waits are not woken.
    void wake_all() {
        {
            std::lock_guard<std::mutex> hold(lock_);
            ++wakeRound_;
        }
        wake_.notify_all();
        changed();
    }
    // The client is being freed: every wait, now or still to come, returns.
    void close() {
        {
            std::lock_guard<std::mutex> hold(lock_);
            closed_ = true;
        }
        wake_.notify_all();
        changed();
    }

    // Counts wake_all calls: a wait that is not inside wait() (a host-driven
    // client's, between its looks) compares it to learn of a Logout.
    unsigned round() {
        std::lock_guard<std::mutex> hold(lock_);
        return wakeRound_;
    }

    // Threads inside wait() now.
    int waiting() const { return waiters_.load(); }

    // What a wait would report now, without taking a kept wake or a bit
    // reported once.
    template <typename Ready>
    int peek(Ready&& ready, int wakeBit) {
        std::lock_guard<std::mutex> hold(lock_);
        return ready() | (closed_ || wakePending_ ? wakeBit : 0) | once_;
    }

    // Waits until `ready()` gives non-zero, a wake comes or `timeout` passes
    // (negative: no end); returns the last ready() value, with `wakeBit` added
    // when a wake ended the wait and the bits reported once.
    template <typename Ready>
    int wait(Ready&& ready, std::chrono::milliseconds timeout, int wakeBit) {
        bool took = false;
        int result = wait_locked(ready, timeout, wakeBit, took);
        if (took) {
            changed();  // a kept wake or a bit reported once was taken
        }
        return result;
    }

  private:
    template <typename Ready>
    int wait_locked(Ready& ready, std::chrono::milliseconds timeout, int wakeBit, bool& took) {
        std::unique_lock<std::mutex> hold(lock_);
        waiters_.fetch_add(1);
        const unsigned round = wakeRound_;
        // Under lock_: only one wait takes a kept wake.
        auto look = [&] {
            bool woken = closed_ || wakeRound_ != round || wakePending_;
            took = took || wakePending_ || once_ != 0;
            wakePending_ = false;
            const int once = once_;
            once_ = 0;
            return ready() | (woken ? wakeBit : 0) | once;
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

    std::mutex lock_;
    std::condition_variable wake_;
    std::atomic<int> waiters_{0};
    std::atomic<bool> usersChanged_{false};
    std::atomic<bool> broken_{false};
    std::atomic<EventWatch*> watch_{nullptr};
    // Guarded by lock_.
    bool wakePending_ = false;
    int once_ = 0;
    unsigned wakeRound_ = 0;
    bool closed_ = false;
};

}  // namespace palaver

#endif
