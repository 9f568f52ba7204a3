// One client's last error and its detail, as its last call of the C
// interface left them: readable from any thread, unlike the calling thread's
// own (error.h), so that a thread that watches a client can see why another
// thread's call on it failed.
#ifndef PALAVER_LIB_CLIENT_CLIENT_ERROR_H
#define PALAVER_LIB_CLIENT_CLIENT_ERROR_H

#include <cstdio>
#include <cstring>
#include <mutex>

#include "palaver_c.h"

namespace palaver {

class ClientError {
  public:
    void store(int code, const char* detail) {
        std::lock_guard<std::mutex> hold(lock_);
        code_ = code;
        std::snprintf(detail_, sizeof detail_, "%s", detail);
    }
    int code() const {
        std::lock_guard<std::mutex> hold(lock_);
        return code_;
    }
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
    mutable std::mutex lock_;
    int code_ = PALAVER_OK;
    char detail_[256] = "";  // as large as the thread's own
};

}  // namespace palaver

#endif
