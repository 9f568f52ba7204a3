#include "server/banning.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "protocol/client_messages.h"
#include "server/ban_file.h"
#include "server/cluster_link.h"
#include "server/server_state.h"
#include "server/session.h"

namespace palaver::server {

bool is_login_name(const std::string& name) {
    return !name.empty() && name.size() <= kMaxName;
}

std::size_t close_sessions_of(ServerState& state, const std::string& name,
                              const std::string& reason) {
    // Closing takes a session out of the table being walked: gather first.
    std::vector<Session*> found;
    state.for_each_user([&](Session& session) {
        if (session.loginName == name) {
            found.push_back(&session);
        }
    });
    for (Session* session : found) {
        session->close(CloseCause::Kicked, reason);
    }
    return found.size();
}

void ban_name(ServerState& state, const std::string& name, long long minutes,
              const std::string& by) {
    if (minutes <= 0 || !is_login_name(name)) {
        return;
    }
    if (state.bans().ban(name, minutes, Bans::Clock::now())) {
        write_bans(state);
    }
    if (ClusterLink* link = state.link()) {
        auto bounded = std::min<long long>(minutes, INT32_MAX);
        link->banned(name, static_cast<std::int32_t>(bounded));
    }
    close_sessions_of(state, name, "banned by " + by);
}

bool ban_from_cluster(ServerState& state, const std::string& name, Bans::Until until) {
    if (until <= std::chrono::time_point_cast<std::chrono::seconds>(Bans::Clock::now()) ||
        !is_login_name(name)) {
        return false;
    }
    bool changed = state.bans().ban_until(name, until);
    close_sessions_of(state, name, "banned on another node");
    return changed;
}

bool unban_name(ServerState& state, const std::string& name, bool tellCluster) {
    bool lifted = state.bans().unban(name);
    if (lifted) {
        write_bans(state);
    }
    if (tellCluster) {
        if (ClusterLink* link = state.link()) {
            link->unbanned(name);
        }
    }
    return lifted;
}

void write_bans(ServerState& state) {
    const std::string& path = state.settings().bansFile;
    if (path.empty()) {
        return;
    }
    std::string error;
    if (!save_bans(path, state.bans().list(Bans::Clock::now()), error)) {
        state.log().error("bans: ", error, "; the bans hold until the server stops");
    }
}

}  // namespace palaver::server
