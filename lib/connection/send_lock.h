// The connection's send lock: one sender at a time, and a sender that cannot
// have it within its limit gives up instead of queueing behind a stuck one.
// A mutex and a condition variable rather than std::timed_mutex, whose timed
// lock ThreadSanitizer does not see (it then reports the unlock as the unlock
// of a mutex nobody holds). Uncontended, a lock is one short hold of the mutex.
#ifndef PALAVER_LIB_CONNECTION_SEND_LOCK_H
#define PALAVER_LIB_CONNECTION_SEND_LOCK_H

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace palaver {

class SendLock {
  public:
    void lock() {
        std::unique_lock<std::mutex> hold(mutex_);
        free_.wait(hold, [this] { return !held_; });
        held_ = true;
    }
    bool try_lock() {
        std::lock_guard<std::mutex> hold(mutex_);
        return !held_ && (held_ = true);
    }
    template <typename Rep, typename Period>
    bool try_lock_for(const std::chrono::duration<Rep, Period>& limit) {
        std::unique_lock<std::mutex> hold(mutex_);
        if (!free_.wait_for(hold, limit, [this] { return !held_; })) {
            return false;
        }
        held_ = true;
        return true;
    }
    void unlock() {
        {
            std::lock_guard<std::mutex> hold(mutex_);
            held_ = false;
        }
        free_.notify_one();
    }

  private:
    std::mutex mutex_;
    std::condition_variable free_;
    bool held_ = false;  // under mutex_
};

}  // namespace palaver

#endif
