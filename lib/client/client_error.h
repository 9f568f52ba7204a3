// One client's last error and its detail, as its last call of the C
// interface left them: readable from any thread, unlike the calling thread's
// own (error.h), so that a thread that watches a client can see why another
// thread's call on it failed.
#ifndef PALAVER_LIB_CLIENT_CLIENT_ERROR_H
#define PALAVER_LIB_CLIENT_CLIENT_ERROR_H

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "palaver_c.h"

namespace palaver {

class ClientError {
  public:
    // Every call of the client stores: a call without a detail, after one
    // without, costs one atomic store.
    void store(int code, const char* detail) {
        if (detail[0] == '\0' && !hasDetail_.load()) {
            code_.store(code);
            return;
        }
        std::lock_guard<std::mutex> hold(lock_);
        code_.store(code);
        std::snprintf(detail_, sizeof detail_, "%s", detail);
        hasDetail_.store(detail_[0] != '\0');
    }
    int code() const { return code_.load(); }
    // Copies as much of the detail as fits, NUL-terminated; returns its full
    // length, so that a caller can size its buffer.
    std::size_t copy_detail(char* buffer, std::size_t capacity) const {
        std::lock_guard<std::mutex> hold(lock_);
        const std::size_t length = std::strlen(detail_);
        if (buffer != nullptr && capacity > 0) {
            const std::size_t copied = length < capacity ? length : capacity - 1;
            std::memcpy(buffer, detail_, copied);
            buffer[copied] = '\0';
        }
        return length;
    }

  private:
    std::atomic<int> code_{PALAVER_OK};
    std::atomic<bool> hasDetail_{false};
    mutable std::mutex lock_;  // guards detail_
    char detail_[256] = "";    // as large as the thread's own
};

}  // namespace palaver

#endif
