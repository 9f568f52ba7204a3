// The life of one client's connection: Login opens it and starts its receive
// thread, end_connection stops it and closes it, whoever asks (Logout, a new
// Login, freeing the client, the module's unload).
#ifndef PALAVER_LIB_CONNECTION_LIFECYCLE_H
#define PALAVER_LIB_CONNECTION_LIFECYCLE_H

#include <cstdint>

#include "Palaver.h"
#include "lib/client/client_state.h"

namespace palaver {

// A dotted IPv4 address or a name with an IPv4 address.
int set_server_address(ClientState& state, const char* address, int port);
// An IPv4 or IPv6 literal or any name; the port must be 1-65535.
int set_server_any(ClientState& state, const char* address, int port);
// TLS with verification for the next Login (chatComunicate's UseTls): false
// when there is no TLS library or the CA file cannot be opened.
bool use_tls(ClientState& state, bool enable, const char* caFile);
// 1 logged in, 0 failed, the server's refusal code, -1 a broken reply (the
// thread's last error says which). `serverStatus`, when given, receives 1 on
// success, else the status word that came, else 0.
int login(ClientState& state, stUserInfo& user, const char* loginString,
          std::int32_t* serverStatus = nullptr);
void logout(ClientState& state);

// Ends the open connection, if any: says goodbye to the server when asked and
// when that cannot block, wakes and joins the receive thread, closes the
// socket. The caller holds the connection's lifecycle lock.
void end_connection(ClientState& state, bool sayGoodbye);
// The same when the module unloads: the worker threads are released once they
// have left the library's code, not joined.
void end_connection_at_unload(ClientState& state);

// The connection broke under the receive thread or a sender (the stream
// ended or went wrong, a send failed): the host is told through IsConnected
// and the wait, the receive thread stops, and the server sees the end. `s` is
// the connection's socket, still open.
void connection_lost(Connection& c, platform::SocketHandle s);

// The receive thread's entry; `context` is the ClientState. It also sends the
// KeepAlives, so a client costs one thread.
void receive_thread(void* context);

}  // namespace palaver

#endif
