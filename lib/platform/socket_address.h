// Endpoints in the system's own address structures: the part of the socket
// layer that POSIX and Winsock share word for word.
#ifndef PALAVER_LIB_PLATFORM_SOCKET_ADDRESS_H
#define PALAVER_LIB_PLATFORM_SOCKET_ADDRESS_H

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include "lib/platform/socket.h"

namespace palaver::platform {

// The system's form of `endpoint`; returns its length.
int to_sockaddr(const Endpoint& endpoint, sockaddr_storage& to);

}  // namespace palaver::platform

#endif
