// The two steps of a Login, shared with reconnect: establish a connection
// (connect, TLS, the login request and its whole reply) and install it as
// the client's open connection.
#ifndef PALAVER_LIB_CONNECTION_LOGIN_STEPS_H
#define PALAVER_LIB_CONNECTION_LOGIN_STEPS_H

#include <cstddef>
#include <cstdint>
#include <memory>

#include "Palaver.h"
#include "lib/client/client_state.h"
#include "lib/connection/login_limit.h"
#include "lib/connection/server_connect.h"

namespace palaver {

class TlsStream;

// 1 when the reply came whole (the room holds its users, `user` the own
// record); else what login() returns, with the thread's last error set.
int establish_connection(ClientState& state, stUserInfo& user, const char* login,
                         std::size_t loginLength, const LoginLimit& limit, std::int32_t& status,
                         PendingSocket& socket, std::unique_ptr<TlsStream>& tls);

// Makes the established connection the client's, in place of a broken one
// still held, and tells the waits (a changed user set). Starts nothing: a
// Login starts the receive thread, the receive thread itself reads on. The
// caller holds lifecycleLock. False when a host-driven socket could not be
// made non-blocking (the connection is then closed).
bool install_connection(ClientState& state, PendingSocket& socket, std::unique_ptr<TlsStream>& tls);

}  // namespace palaver

#endif
