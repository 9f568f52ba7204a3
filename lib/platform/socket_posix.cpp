#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#include <cerrno>
#include <chrono>

#include <fcntl.h>

#include <cstring>

#include "lib/platform/socket.h"
#include "lib/platform/socket_address.h"

namespace palaver::platform {

const SocketHandle kNoSocket = -1;

bool network_startup(unsigned char, unsigned char) {
    return true;
}

void network_cleanup() {}

int last_error() {
    return errno;
}

void set_last_error(int code) {
    errno = code;
}

bool is_timeout(int code) {
    return code == EAGAIN || code == EWOULDBLOCK;
}

int timed_out_code() {
    return ETIMEDOUT;
}

int invalid_argument_code() {
    return EINVAL;
}

std::uint16_t family_inet() {
    return AF_INET;
}

std::uint16_t host_to_network(std::uint16_t port) {
    return htons(port);
}

std::uint32_t parse_dotted(const char* text) {
    return inet_addr(text);
}

bool resolve_ipv4(const char* name, std::uint32_t& address) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(name, nullptr, &hints, &found) != 0 || found == nullptr) {
        return false;
    }
    const auto* in = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
    address = in->sin_addr.s_addr;
    freeaddrinfo(found);
    return true;
}

SocketHandle open_tcp_socket(std::uint16_t family) {
    return ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
}

bool set_receive_timeout(SocketHandle s, int milliseconds) {
    timeval tv{};
    tv.tv_sec = milliseconds / 1000;
    tv.tv_usec = (milliseconds % 1000) * 1000;
    return setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0;
}

namespace {

bool set_blocking(SocketHandle s, bool blocking) {
    int flags = ::fcntl(s, F_GETFL);
    if (flags < 0) {
        return false;
    }
    flags = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
    return ::fcntl(s, F_SETFL, flags) == 0;
}

// One poll for `events`, retried on EINTR with what is left of the time.
Readiness wait_for(SocketHandle s, short events, int milliseconds) {
    pollfd p{};
    p.fd = s;
    p.events = events;
    int rc;
    do {
        rc = ::poll(&p, 1, milliseconds);
    } while (rc < 0 && errno == EINTR);
    if (rc < 0) {
        return Readiness::Failed;
    }
    return rc == 0 ? Readiness::TimedOut : Readiness::Ready;
}

}  // namespace

bool begin_connect(SocketHandle s, const Endpoint& endpoint) {
    if (endpoint.family != AF_INET && endpoint.family != AF_INET6) {
        // An unset address must not reach connect(): AF_UNSPEC would succeed there.
        errno = EAFNOSUPPORT;
        return false;
    }
    if (!set_blocking(s, false)) {
        return false;
    }
    sockaddr_storage to{};
    socklen_t length = to_sockaddr(endpoint, to);
    // A connect interrupted by a signal goes on in the background, like one
    // that would block: both end in wait_connected.
    int rc = ::connect(s, reinterpret_cast<const sockaddr*>(&to), length);
    return rc == 0 || errno == EINPROGRESS || errno == EINTR;
}

Readiness wait_connected(SocketHandle s, int milliseconds) {
    Readiness r = wait_for(s, POLLOUT, milliseconds);
    if (r != Readiness::Ready) {
        return r;
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
        return Readiness::Failed;
    }
    if (error != 0) {
        errno = error;
        return Readiness::Failed;
    }
    return set_blocking(s, true) ? Readiness::Ready : Readiness::Failed;
}

Readiness wait_readable(SocketHandle s, int milliseconds) {
    return wait_for(s, POLLIN, milliseconds);
}

bool set_send_limit(SocketHandle, int) {
    return true;  // send_all_within waits by poll with its own deadline
}

bool send_all_within(SocketHandle s, const std::uint8_t* bytes, std::size_t count,
                     int milliseconds) {
    using Clock = std::chrono::steady_clock;
    // MSG_DONTWAIT on the blocking socket: the receive thread's blocking
    // reads stay as they are, and a full buffer shows here as EAGAIN.
    Clock::time_point deadline{};
    bool waiting = false;
    std::size_t written = 0;
    while (written < count) {
        ssize_t n = ::send(s, bytes + written, count - written, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            written += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
            return false;
        }
        // The limit counts from the first wait and covers all of them, so a
        // peer that takes a byte now and then cannot stretch it.
        int left = -1;
        if (milliseconds >= 0) {
            const auto now = Clock::now();
            if (!waiting) {
                deadline = now + std::chrono::milliseconds(milliseconds);
                waiting = true;
            }
            left = static_cast<int>(
                std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count());
            if (left <= 0) {
                errno = ETIMEDOUT;
                return false;
            }
        }
        Readiness r = wait_for(s, POLLOUT, left);
        if (r == Readiness::TimedOut) {
            errno = ETIMEDOUT;
            return false;
        }
        if (r == Readiness::Failed) {
            return false;
        }
    }
    return true;
}

long receive_some(SocketHandle s, std::uint8_t* bytes, std::size_t count) {
    ssize_t n;
    do {
        n = ::recv(s, bytes, count, 0);
    } while (n < 0 && errno == EINTR);
    return static_cast<long>(n);
}

bool wait_writable(SocketHandle s, int milliseconds) {
    pollfd p{};
    p.fd = s;
    p.events = POLLOUT;
    return ::poll(&p, 1, milliseconds) == 1 && (p.revents & POLLOUT) != 0;
}

bool set_nonblocking(SocketHandle s) {
    return set_blocking(s, false);
}

bool is_would_block(int code) {
    return code == EAGAIN || code == EWOULDBLOCK;
}

long send_some(SocketHandle s, const std::uint8_t* bytes, std::size_t count) {
    ssize_t n;
    do {
        n = ::send(s, bytes, count, MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        return 0;
    }
    return n == 0 && count > 0 ? -1 : static_cast<long>(n);
}

void shutdown_both(SocketHandle s) {
    ::shutdown(s, SHUT_RDWR);
}

void close_socket(SocketHandle s) {
    ::close(s);
}

}  // namespace palaver::platform
