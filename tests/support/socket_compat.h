// The few socket calls the fake server makes, for POSIX and for Winsock, so
// the same scripts run against the library on Linux and under Wine.
// Descriptors stay ints: Winsock's handles are small numbers, and its
// INVALID_SOCKET becomes -1 like a failed POSIX call.
#ifndef PALAVER_TESTS_SUPPORT_SOCKET_COMPAT_H
#define PALAVER_TESTS_SUPPORT_SOCKET_COMPAT_H

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <cstddef>

namespace palaver::test::net {

#if defined(_WIN32)
using SockLen = int;

// Winsock counts its users; the fake server is one whether or not the library
// is loaded.
inline void startup() {
    WSADATA data;
    WSAStartup(0x0202, &data);
}
inline void cleanup() {
    WSACleanup();
}
inline int open_stream() {
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, 0);
    if (s != INVALID_SOCKET) {
        SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    }
    return static_cast<int>(s);
}
inline int accept_one(int listener) {
    return static_cast<int>(::accept(static_cast<SOCKET>(listener), nullptr, nullptr));
}
// poll() for readability of one socket.
inline int poll_in(int s, int ms) {
    WSAPOLLFD p{static_cast<SOCKET>(s), POLLIN, 0};
    return WSAPoll(&p, 1, ms);
}
inline long receive(int s, void* bytes, std::size_t count) {
    return ::recv(static_cast<SOCKET>(s), static_cast<char*>(bytes), static_cast<int>(count), 0);
}
inline long send_some(int s, const void* bytes, std::size_t count) {
    return ::send(static_cast<SOCKET>(s), static_cast<const char*>(bytes), static_cast<int>(count),
                  0);
}
inline int set_option(int s, int level, int name, const void* value, int size) {
    return ::setsockopt(static_cast<SOCKET>(s), level, name, static_cast<const char*>(value), size);
}
inline void close_socket(int s) {
    ::closesocket(static_cast<SOCKET>(s));
}
#else
using SockLen = socklen_t;

inline void startup() {}
inline void cleanup() {}
inline int open_stream() {
    return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
}
inline int accept_one(int listener) {
    return ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
}
inline int poll_in(int s, int ms) {
    pollfd p{s, POLLIN, 0};
    return ::poll(&p, 1, ms);
}
inline long receive(int s, void* bytes, std::size_t count) {
    return ::recv(s, bytes, count, 0);
}
inline long send_some(int s, const void* bytes, std::size_t count) {
    return ::send(s, bytes, count, MSG_NOSIGNAL);
}
inline int set_option(int s, int level, int name, const void* value, socklen_t size) {
    return ::setsockopt(s, level, name, value, size);
}
inline void close_socket(int s) {
    ::close(s);
}
#endif

}  // namespace palaver::test::net

#endif
