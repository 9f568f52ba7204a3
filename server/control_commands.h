// The control socket's commands over the server's state: rooms, users,
// kick, ban, unban, bans, reload, stats (docs/server.md, Control). Every
// action that changes something is logged, its names escaped.
#ifndef PALAVER_SERVER_CONTROL_COMMANDS_H
#define PALAVER_SERVER_CONTROL_COMMANDS_H

namespace palaver::server {

class ControlServer;
class ServerState;

void add_control_commands(ControlServer& control, ServerState& state);

}  // namespace palaver::server

#endif
