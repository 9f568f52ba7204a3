// A level signal the host's loop can wait on beside its sockets: an eventfd
// on Linux, a manual-reset event on Windows. Raised while a client has
// something to take, lowered when it has not; the library alone changes it.
// Not thread-safe: the owner serialises raise and lower.
#ifndef PALAVER_LIB_PLATFORM_EVENT_SIGNAL_H
#define PALAVER_LIB_PLATFORM_EVENT_SIGNAL_H

#include <cstddef>
#include <cstdint>
#include <memory>

#include "lib/platform/socket.h"

namespace palaver::platform {

#if defined(_WIN32)
using NativeEvent = void*;  // HANDLE
#else
using NativeEvent = int;
#endif

class EventSignal {
  public:
    // Null when the system could not make one.
    static std::unique_ptr<EventSignal> make();
    ~EventSignal();
    EventSignal(const EventSignal&) = delete;
    EventSignal& operator=(const EventSignal&) = delete;

    void raise();
    void lower();
    bool raised() const { return raised_; }
    NativeEvent native() const { return native_; }

  private:
    explicit EventSignal(NativeEvent native) : native_(native) {}

    NativeEvent native_;
    bool raised_ = false;
};

// One socket a wait watches, and what it found.
struct SocketWatch {
    SocketHandle socket;
    bool write;  // also wait until it is writable
    bool ready = false;
};

// Waits at most `milliseconds` (negative: no end) until one of `sockets` is
// readable (or writable when asked, or broken) or `signal` (may be null) is
// raised. Marks the ready sockets; returns true when anything was ready,
// false on the time-out.
bool wait_any(SocketWatch* sockets, std::size_t count, const EventSignal* signal, int milliseconds);

}  // namespace palaver::platform

#endif
