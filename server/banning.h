// Bans as the server carries them out: a ban closes every session of the
// name on this node, reaches the other nodes of a cluster through its bucket
// (whose entries close the name's sessions there), and every change is
// written to the bans file when there is one.
#ifndef PALAVER_SERVER_BANNING_H
#define PALAVER_SERVER_BANNING_H

#include <cstddef>
#include <string>

#include "server/bans.h"

namespace palaver::server {

class ServerState;

// A login name: 1 to 30 bytes. Bans of anything else are not kept, so the
// bans file always loads again.
bool is_login_name(const std::string& name);

// Closes every session of this node logged in under `name`; how many.
std::size_t close_sessions_of(ServerState& state, const std::string& name,
                              const std::string& reason);

// A ban decided on this node (a kick's minutes, the control socket): kept,
// written, stored for the cluster, and the name's sessions here closed.
// Minutes of 0 or less, or a name that is not a login name, ban nobody.
void ban_name(ServerState& state, const std::string& name, long long minutes,
              const std::string& by);
// A ban the cluster's bucket holds (another node's, or this one's coming
// back). True when it changed the bans: the caller writes the file, once for
// the many entries a node reads when it starts.
bool ban_from_cluster(ServerState& state, const std::string& name, Bans::Until until);
// Lifts the ban here and, with `tellCluster`, on every node. False when
// this node held no ban of the name.
bool unban_name(ServerState& state, const std::string& name, bool tellCluster);

// Writes the bans file, when there is one; a failure is logged and the bans
// hold in memory.
void write_bans(ServerState& state);

}  // namespace palaver::server

#endif
