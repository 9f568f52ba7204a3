// Reading the accounts file and the bans file again while the server runs
// (SIGHUP, or "reload" on the control socket), on the event loop. A file
// that does not parse leaves what is in force as it is, and the log says
// which line is wrong.
#ifndef PALAVER_SERVER_RELOAD_H
#define PALAVER_SERVER_RELOAD_H

#include <string>
#include <vector>

namespace palaver::server {

class ServerState;

struct ReloadReport {
    std::vector<std::string> lines;  // what happened, one line per file
    bool ok = true;                  // false when a file was kept for an error
};

// Sessions whose login name is no longer an account are closed, an admin
// who lost the role loses it, and the sessions of names now banned are
// closed.
ReloadReport reload_files(ServerState& state);

// The bans file at start; throws std::runtime_error naming the line when it
// does not parse. A file that does not exist holds no bans.
void load_bans_at_start(ServerState& state);

}  // namespace palaver::server

#endif
