// "palaver-server ctl [--control PATH] COMMAND [ARGS...]": sends one
// request to a running server's control socket and prints the reply.
#ifndef PALAVER_SERVER_CONTROL_CLIENT_H
#define PALAVER_SERVER_CONTROL_CLIENT_H

namespace palaver::server {

// Where the client looks without --control.
constexpr const char* kDefaultControlPath = "/run/palaver-server/control";

// The words after "ctl". Exits 0 on an "ok" reply, 1 on an error reply or
// when the server cannot be reached, 2 on a bad command line.
int run_control_client(int argc, char** argv);

}  // namespace palaver::server

#endif
