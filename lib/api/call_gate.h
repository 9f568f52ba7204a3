// Which calls of the C interface are inside one client right now, so that
// freeing it waits until they have all left: a wait, a send or a login on
// another thread never runs on a client that is gone.
#ifndef PALAVER_LIB_API_CALL_GATE_H
#define PALAVER_LIB_API_CALL_GATE_H

#include <condition_variable>
#include <cstddef>
#include <mutex>

namespace palaver::c_api {

class CallGate {
  public:
    // False once closing began: the call is refused and must not touch the
    // client.
    bool enter() {
        std::lock_guard<std::mutex> hold(lock_);
        if (closing_) {
            return false;
        }
        ++inside_;
        return true;
    }
    void leave() {
        // Notified under the lock: the closing thread frees the gate only
        // after it has taken the lock back, so this call is done with it.
        std::lock_guard<std::mutex> hold(lock_);
        if (--inside_ == 0 && closing_) {
            left_.notify_all();
        }
    }

    // Refuses every call from now on.
    void close() {
        std::lock_guard<std::mutex> hold(lock_);
        closing_ = true;
    }
    // After close: returns when every call that entered has left.
    void wait_until_empty() {
        std::unique_lock<std::mutex> hold(lock_);
        left_.wait(hold, [this] { return inside_ == 0; });
    }

  private:
    std::mutex lock_;
    std::condition_variable left_;
    std::size_t inside_ = 0;
    bool closing_ = false;
};

}  // namespace palaver::c_api

#endif
