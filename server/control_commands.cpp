#include "server/control_commands.h"

#include <cstdio>
#include <ctime>
#include <optional>
#include <string>

#include "PalaverProfile.h"
#include "server/banning.h"
#include "server/cluster_link.h"
#include "server/control_server.h"
#include "server/reload.h"
#include "server/room.h"
#include "server/server_state.h"
#include "server/session.h"

namespace palaver::server {
namespace {

using Args = ControlServer::Args;
using Reply = ControlServer::Reply;

std::string room_text(std::uint32_t key) {
    char text[16];
    std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(key));
    return text;
}

std::string quoted(const std::string& name) {
    return "\"" + escaped(name) + "\"";
}

std::string utc(Bans::Until until) {
    std::time_t seconds = static_cast<std::time_t>(until.time_since_epoch().count());
    std::tm tm{};
    gmtime_r(&seconds, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

// A decimal count of at most nine digits.
std::optional<long long> count_of(const std::string& text) {
    if (text.empty() || text.size() > 9 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
    }
    return std::stoll(text);
}

// A room key as the log writes it: up to eight hex digits.
std::optional<std::uint32_t> room_of(const std::string& text) {
    if (text.empty() || text.size() > 8 ||
        text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(std::stoul(text, nullptr, 16));
}

void rooms(ServerState& state, const Args&, Reply& reply) {
    state.for_each_room([&](const Room& room) {
        if (!room.empty()) {
            reply.lines.push_back(room_text(room.key()) + " " +
                                  std::to_string(room.members().size()));
        }
    });
}

void users(ServerState& state, const Args& args, Reply& reply) {
    std::optional<std::uint32_t> only;
    if (!args.empty() && !(only = room_of(args[0]))) {
        reply.error = "a room is up to eight hex digits, e.g. 00000001";
        return;
    }
    state.for_each_user([&](const Session& session) {
        std::uint32_t key = profile::room(session.user());
        if (only && *only != key) {
            return;
        }
        std::string shown = profile::name(session.user());
        std::string line = std::to_string(session.id()) + " " + quoted(session.loginName) + " " +
                           room_text(key) + " " + session.peer();
        if (session.admin) {
            line += " admin";
        }
        if (shown != session.loginName) {
            line += " shown as " + quoted(shown);
        }
        reply.lines.push_back(line);
    });
}

// "kick NAME [MINUTES]" and "ban NAME MINUTES".
void kick_or_ban(ServerState& state, const Args& args, Reply& reply, bool kick) {
    const std::string& name = args[0];
    if (!is_login_name(name)) {
        reply.error = "a login name has 1 to 30 bytes";
        return;
    }
    long long minutes = 0;
    if (args.size() > 1) {
        auto given = count_of(args[1]);
        if (!given || (!kick && *given == 0)) {
            reply.error = kick ? "minutes: a number, 0 for none" : "minutes: a number above 0";
            return;
        }
        minutes = *given;
    }
    std::size_t closed = close_sessions_of(
        state, name,
        kick ? "kicked through the control socket" : "banned through the control socket");
    ban_name(state, name, minutes, "the control socket");
    state.log().info("control: ", kick ? "kick " : "ban ", quoted(name), ": closed ", closed,
                     " sessions here", minutes > 0 ? ", banned for " : "",
                     minutes > 0 ? std::to_string(minutes) + " min" : "");
    reply.lines.push_back("closed " + std::to_string(closed) + " sessions of " + quoted(name) +
                          " on this node");
    if (minutes > 0) {
        auto until = state.bans().list(Bans::Clock::now());
        auto found = until.find(name);
        reply.lines.push_back("banned " + quoted(name) + " until " +
                              (found != until.end() ? utc(found->second) : std::string("?")) +
                              (state.link() != nullptr ? " on every node" : ""));
    }
}

void unban(ServerState& state, const Args& args, Reply& reply) {
    const std::string& name = args[0];
    if (!is_login_name(name)) {
        reply.error = "a login name has 1 to 30 bytes";
        return;
    }
    bool lifted = unban_name(state, name, true);
    bool clustered = state.link() != nullptr;
    state.log().info("control: unban ", quoted(name), lifted ? "" : " (not banned here)");
    if (!lifted && !clustered) {
        reply.error = quoted(name) + " is not banned";
        return;
    }
    reply.lines.push_back((lifted ? "lifted the ban of " : "no ban here of ") + quoted(name) +
                          (clustered ? "; every node lifts it" : ""));
}

void bans(ServerState& state, const Args&, Reply& reply) {
    auto now = Bans::Clock::now();
    for (const auto& [name, until] : state.bans().list(now)) {
        auto left = std::chrono::duration_cast<std::chrono::minutes>(until - now).count() + 1;
        reply.lines.push_back(quoted(name) + " until " + utc(until) + " (" + std::to_string(left) +
                              " min)");
    }
}

void reload(ServerState& state, const Args&, Reply& reply) {
    ReloadReport report = reload_files(state);
    reply.lines = report.lines;
    if (!report.ok) {
        reply.error = "a file did not parse and was kept as it was";
    }
}

void stats(ServerState& state, const Args&, Reply& reply) {
    reply.lines.push_back("connections " + std::to_string(state.connections()));
    reply.lines.push_back("users " + std::to_string(state.users()));
    std::size_t rooms = 0;
    state.for_each_room([&](const Room& room) { rooms += room.empty() ? 0 : 1; });
    reply.lines.push_back("rooms " + std::to_string(rooms));
    reply.lines.push_back("queued_bytes " + std::to_string(*state.queued_total()));
    if (const ClusterLink* link = state.link()) {
        ClusterStats cluster = link->stats();
        reply.lines.push_back("bus_received " + std::to_string(cluster.received));
        reply.lines.push_back("bus_room_received " + std::to_string(cluster.roomReceived));
        reply.lines.push_back("bus_rooms " + std::to_string(cluster.rooms));
    }
}

}  // namespace

void add_control_commands(ControlServer& control, ServerState& state) {
    auto bind = [&state](void (*command)(ServerState&, const Args&, Reply&)) {
        return [&state, command](const Args& args, Reply& reply) { command(state, args, reply); };
    };
    control.add("rooms", "rooms", 0, 0, bind(rooms));
    control.add("users", "users [ROOM]", 0, 1, bind(users));
    control.add("kick", "kick NAME [MINUTES]", 1, 2, [&state](const Args& args, Reply& reply) {
        kick_or_ban(state, args, reply, true);
    });
    control.add("ban", "ban NAME MINUTES", 2, 2, [&state](const Args& args, Reply& reply) {
        kick_or_ban(state, args, reply, false);
    });
    control.add("unban", "unban NAME", 1, 1, bind(unban));
    control.add("bans", "bans", 0, 0, bind(bans));
    control.add("reload", "reload", 0, 0, bind(reload));
    control.add("stats", "stats", 0, 0, bind(stats));
}

}  // namespace palaver::server
