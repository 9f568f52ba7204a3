// Which calls of the C interface are inside one client right now, so that
// freeing it waits until they have all left: a wait, a send or a login on
// another thread never runs on a client that is gone.
#ifndef PALAVER_LIB_API_CALL_GATE_H
#define PALAVER_LIB_API_CALL_GATE_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>

namespace palaver::c_api {

class CallGate {
  public:
    // False once closing began: the call is refused and must not touch the
    // client. A call costs two atomic operations while nobody closes.
    bool enter() {
        inside_.fetch_add(1);
        if (closing_.load()) {
            leave();
            return false;
        }
        return true;
    }
    void leave() {
        if (!closing_.load()) {
            inside_.fetch_sub(1);  // touches the gate no more: a closer polls
            return;
        }
        // Under the lock: the closing thread frees the gate only after it has
        // taken the lock back, so this call is done with it.
        std::lock_guard<std::mutex> hold(lock_);
        if (inside_.fetch_sub(1) == 1) {
            left_.notify_all();
        }
    }

    // Refuses every call from now on.
    void close() { closing_.store(true); }
    // After close: returns when every call that entered has left. A call
    // that saw no closing yet leaves without a notice, so the wait looks
    // again every few milliseconds.
    void wait_until_empty() {
        std::unique_lock<std::mutex> hold(lock_);
        while (inside_.load() != 0) {
            left_.wait_for(hold, std::chrono::milliseconds(5));
        }
    }

  private:
    std::mutex lock_;
    std::condition_variable left_;
    std::atomic<std::size_t> inside_{0};
    std::atomic<bool> closing_{false};
};

}  // namespace palaver::c_api

#endif
