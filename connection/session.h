// The life of one connection: Login opens it and starts its worker threads,
// end_connection stops them and closes it, whoever asks (Logout, a new Login,
// the module's unload).
#ifndef PALAVER_CONNECTION_SESSION_H
#define PALAVER_CONNECTION_SESSION_H

#include "Palaver.h"
#include "module/client_state.h"

namespace palaver {

int set_server_address(ClientState& state, const char* address, int port);
int login(ClientState& state, stUserInfo& user, const char* loginString);
void logout(ClientState& state);

// Ends the open connection, if any: says goodbye to the server when asked and
// when that cannot block, wakes and joins both worker threads, closes the
// socket. The caller holds the connection's lifecycle lock.
void end_connection(ClientState& state, bool sayGoodbye);
// The same when the module unloads: the worker threads are released once they
// have left the library's code, not joined.
void end_connection_at_unload(ClientState& state);

// The connection broke under a worker or a sender (the stream ended or went
// wrong, a send failed): the host is told through IsConnected, both worker
// threads stop on their own, and the server sees the connection end. `s` is
// the connection's socket, still open.
void connection_lost(Connection& c, platform::SocketHandle s);

// Worker thread entries; `context` is the ClientState.
void receive_thread(void* context);
void keep_alive_thread(void* context);

}  // namespace palaver

#endif
