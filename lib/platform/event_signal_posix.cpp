#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <vector>

#include "lib/platform/event_signal.h"

namespace palaver::platform {

std::unique_ptr<EventSignal> EventSignal::make() {
    const int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    return std::unique_ptr<EventSignal>(new EventSignal(fd));
}

EventSignal::~EventSignal() {
    ::close(native_);
}

void EventSignal::raise() {
    if (!raised_) {
        const std::uint64_t one = 1;
        raised_ = ::write(native_, &one, sizeof one) == sizeof one;
    }
}

void EventSignal::lower() {
    if (raised_) {
        std::uint64_t count = 0;
        // The counter goes back to zero: the descriptor stops polling readable.
        raised_ = ::read(native_, &count, sizeof count) != sizeof count && errno != EAGAIN;
    }
}

bool wait_any(SocketWatch* sockets, std::size_t count, const EventSignal* signal,
              int milliseconds) {
    std::vector<pollfd> polled(count + (signal != nullptr ? 1 : 0));
    for (std::size_t i = 0; i < count; ++i) {
        polled[i].fd = sockets[i].socket;
        polled[i].events = static_cast<short>(POLLIN | (sockets[i].write ? POLLOUT : 0));
    }
    if (signal != nullptr) {
        polled[count].fd = signal->native();
        polled[count].events = POLLIN;
    }
    using Clock = std::chrono::steady_clock;
    const auto until = Clock::now() + std::chrono::milliseconds(milliseconds);
    int rc;
    for (;;) {
        rc = ::poll(polled.data(), polled.size(), milliseconds);
        if (rc >= 0 || errno != EINTR) {
            break;
        }
        if (milliseconds > 0) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now());
            milliseconds = left.count() > 0 ? static_cast<int>(left.count()) : 0;
        }
    }
    if (rc <= 0) {
        return rc < 0;  // a failed poll wakes the caller, which looks again
    }
    for (std::size_t i = 0; i < count; ++i) {
        sockets[i].ready = polled[i].revents != 0;
    }
    return true;
}

}  // namespace palaver::platform
