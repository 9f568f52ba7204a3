// Opening the TCP connection of a Login: the server's name looked up again,
// each of its addresses tried in turn, all within the Login's one limit.
#ifndef PALAVER_LIB_CONNECTION_SERVER_CONNECT_H
#define PALAVER_LIB_CONNECTION_SERVER_CONNECT_H

#include <cstdint>
#include <vector>

#include "lib/client/client_state.h"
#include "lib/connection/login_limit.h"
#include "lib/platform/socket.h"

namespace palaver {

// The socket of a Login that has not got through yet: closed on the way out
// unless released, keeping the error code of the call that failed.
class PendingSocket {
  public:
    PendingSocket() = default;
    ~PendingSocket() { close(); }
    PendingSocket(const PendingSocket&) = delete;
    PendingSocket& operator=(const PendingSocket&) = delete;

    // Closes the socket held, if any, and opens one of `family`.
    bool open(std::uint16_t family);
    platform::SocketHandle get() const { return handle_; }
    platform::SocketHandle release() {
        platform::SocketHandle h = handle_;
        handle_ = platform::kNoSocket;
        return h;
    }

  private:
    void close();

    platform::SocketHandle handle_ = platform::kNoSocket;
};

// The addresses a Login tries for `target`, in order: a name's addresses as
// it resolves now, or the address stored with it when it no longer does.
std::vector<platform::Endpoint> addresses_to_try(const ServerTarget& target);

// Connects `socket` to the first of `addresses` that takes the connection,
// each attempt given an equal share of the time left. False when none did,
// the time ran out or a Logout called the Login off; platform::last_error()
// says why (the last attempt's error, or a time-out).
bool connect_first(const std::vector<platform::Endpoint>& addresses, PendingSocket& socket,
                   const LoginLimit& limit);

}  // namespace palaver

#endif
