// Winsock implementation of the socket layer.
// winsock2.h must come before windows.h.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <climits>
#include <cstring>

#include "lib/platform/socket.h"
#include "lib/platform/socket_address.h"

namespace palaver::platform {

const SocketHandle kNoSocket = INVALID_SOCKET;

namespace {

int clamp_count(std::size_t count) {
    return count > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(count);
}

}  // namespace

bool network_startup(unsigned char major, unsigned char minor) {
    // The version word holds the major version in its low byte.
    const WORD version = static_cast<WORD>(major | (minor << 8));
    WSADATA data;
    return WSAStartup(version, &data) == 0;
}

void network_cleanup() {
    WSACleanup();
}

int last_error() {
    return WSAGetLastError();
}

void set_last_error(int code) {
    WSASetLastError(code);
}

bool is_timeout(int code) {
    return code == WSAETIMEDOUT;
}

int timed_out_code() {
    return WSAETIMEDOUT;
}

int invalid_argument_code() {
    return WSAEINVAL;
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
    const hostent* host = gethostbyname(name);
    if (host == nullptr || host->h_addrtype != AF_INET || host->h_length != 4 ||
        host->h_addr_list[0] == nullptr) {
        return false;
    }
    std::memcpy(&address, host->h_addr_list[0], sizeof address);
    return true;
}

SocketHandle open_tcp_socket(std::uint16_t family) {
    SOCKET s = ::socket(family, SOCK_STREAM, IPPROTO_TCP);
    if (s != INVALID_SOCKET) {
        // Like close-on-exec: a process the host starts must not keep the
        // connection open.
        SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    }
    return s;
}

bool set_receive_timeout(SocketHandle s, int milliseconds) {
    // Winsock takes the time-out as a 4-byte count of milliseconds.
    DWORD value = static_cast<DWORD>(milliseconds);
    return setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&value),
                      sizeof value) == 0;
}

namespace {

bool set_blocking(SocketHandle s, bool blocking) {
    u_long nonBlocking = blocking ? 0 : 1;
    return ioctlsocket(s, FIONBIO, &nonBlocking) == 0;
}

timeval to_timeval(int milliseconds) {
    timeval limit{};
    limit.tv_sec = milliseconds / 1000;
    limit.tv_usec = (milliseconds % 1000) * 1000;
    return limit;
}

}  // namespace

bool begin_connect(SocketHandle s, const Endpoint& endpoint) {
    if (endpoint.family != AF_INET && endpoint.family != AF_INET6) {
        WSASetLastError(WSAEAFNOSUPPORT);
        return false;
    }
    if (!set_blocking(s, false)) {
        return false;
    }
    sockaddr_storage to{};
    int length = to_sockaddr(endpoint, to);
    return ::connect(s, reinterpret_cast<const sockaddr*>(&to), length) == 0 ||
           WSAGetLastError() == WSAEWOULDBLOCK;
}

Readiness wait_connected(SocketHandle s, int milliseconds) {
    // Winsock reports a refused connect in the exception set, not as writable.
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(s, &writable);
    FD_SET(s, &failed);
    timeval limit = to_timeval(milliseconds);
    int rc = ::select(0, nullptr, &writable, &failed, &limit);
    if (rc == SOCKET_ERROR) {
        return Readiness::Failed;
    }
    if (rc == 0) {
        return Readiness::TimedOut;
    }
    if (FD_ISSET(s, &failed)) {
        int error = 0;
        int length = sizeof error;
        getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length);
        WSASetLastError(error != 0 ? error : WSAECONNREFUSED);
        return Readiness::Failed;
    }
    return set_blocking(s, true) ? Readiness::Ready : Readiness::Failed;
}

Readiness wait_readable(SocketHandle s, int milliseconds) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(s, &readable);
    timeval limit = to_timeval(milliseconds);
    int rc = ::select(0, &readable, nullptr, nullptr, &limit);
    if (rc == SOCKET_ERROR) {
        return Readiness::Failed;
    }
    return rc == 0 ? Readiness::TimedOut : Readiness::Ready;
}

bool set_send_limit(SocketHandle s, int milliseconds) {
    // A blocking send gives up after SO_SNDTIMEO (0 is without end).
    DWORD value = static_cast<DWORD>(milliseconds < 0 ? 0 : milliseconds);
    return setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&value),
                      sizeof value) == 0;
}

bool send_all_within(SocketHandle s, const std::uint8_t* bytes, std::size_t count, int) {
    // Winsock has no per-call MSG_DONTWAIT and a non-blocking socket would
    // change the receive thread's reads, so the limit is the socket's
    // SO_SNDTIMEO (set_send_limit). A blocking send takes its bytes whole,
    // so one call is the usual case; a time-out leaves WSAETIMEDOUT.
    std::size_t written = 0;
    while (written < count) {
        int n = ::send(s, reinterpret_cast<const char*>(bytes + written),
                       clamp_count(count - written), 0);
        if (n == SOCKET_ERROR || n == 0) {
            return false;
        }
        written += static_cast<std::size_t>(n);
    }
    return true;
}

long receive_some(SocketHandle s, std::uint8_t* bytes, std::size_t count) {
    return ::recv(s, reinterpret_cast<char*>(bytes), clamp_count(count), 0);
}

bool wait_writable(SocketHandle s, int milliseconds) {
    fd_set writable;
    FD_ZERO(&writable);
    FD_SET(s, &writable);
    timeval limit = to_timeval(milliseconds);
    return ::select(0, nullptr, &writable, nullptr, &limit) == 1;
}

bool set_nonblocking(SocketHandle s) {
    return set_blocking(s, false);
}

bool is_would_block(int code) {
    return code == WSAEWOULDBLOCK;
}

long send_some(SocketHandle s, const std::uint8_t* bytes, std::size_t count) {
    int n = ::send(s, reinterpret_cast<const char*>(bytes), clamp_count(count), 0);
    if (n == SOCKET_ERROR) {
        return WSAGetLastError() == WSAEWOULDBLOCK ? 0 : -1;
    }
    return n == 0 && count > 0 ? -1 : n;
}

void shutdown_both(SocketHandle s) {
    ::shutdown(s, SD_BOTH);
    // Winsock does not promise that shutdown ends a receive or a send that is
    // already blocked; cancelling the socket's pending I/O does.
    CancelIoEx(reinterpret_cast<HANDLE>(s), nullptr);
}

void close_socket(SocketHandle s) {
    ::closesocket(s);
}

}  // namespace palaver::platform
