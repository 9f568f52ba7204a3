// winsock2.h must come before windows.h.
#include <winsock2.h>

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "lib/platform/event_signal.h"

namespace palaver::platform {

std::unique_ptr<EventSignal> EventSignal::make() {
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);  // manual reset: a level
    if (event == nullptr) {
        return nullptr;
    }
    return std::unique_ptr<EventSignal>(new EventSignal(event));
}

EventSignal::~EventSignal() {
    CloseHandle(native_);
}

void EventSignal::raise() {
    if (!raised_) {
        raised_ = SetEvent(native_) != 0;
    }
}

void EventSignal::lower() {
    if (raised_) {
        raised_ = ResetEvent(native_) == 0;
    }
}

bool wait_any(SocketWatch* sockets, std::size_t count, const EventSignal* signal,
              int milliseconds) {
    // WSAPoll cannot wait on an event handle, and an event cannot stand for
    // a socket without changing how the socket reads: with a signal to watch,
    // the sockets are polled in short slices and the signal looked at between.
    constexpr int kSliceMs = 10;
    std::vector<WSAPOLLFD> polled(count);
    for (std::size_t i = 0; i < count; ++i) {
        polled[i].fd = sockets[i].socket;
        polled[i].events = static_cast<SHORT>(POLLRDNORM | (sockets[i].write ? POLLWRNORM : 0));
    }
    using Clock = std::chrono::steady_clock;
    const auto until = Clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        if (signal != nullptr && WaitForSingleObject(signal->native(), 0) == WAIT_OBJECT_0) {
            return true;
        }
        int slice = milliseconds;
        if (milliseconds >= 0) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now());
            slice = left.count() > 0 ? static_cast<int>(left.count()) : 0;
        }
        if (signal != nullptr && (slice < 0 || slice > kSliceMs)) {
            slice = kSliceMs;
        }
        int rc;
        if (count == 0) {
            rc = signal != nullptr
                     ? (WaitForSingleObject(signal->native(), static_cast<DWORD>(slice)) ==
                                WAIT_OBJECT_0
                            ? 1
                            : 0)
                     : (Sleep(static_cast<DWORD>(std::max(slice, 0))), 0);
            if (rc > 0) {
                return true;
            }
        } else {
            rc = WSAPoll(polled.data(), static_cast<ULONG>(count), slice);
            if (rc != 0) {
                for (std::size_t i = 0; i < count && rc > 0; ++i) {
                    sockets[i].ready = polled[i].revents != 0;
                }
                return true;  // a failed poll wakes the caller, which looks again
            }
        }
        if (milliseconds >= 0 && Clock::now() >= until) {
            return false;
        }
    }
}

}  // namespace palaver::platform
