#include "server/metrics.h"

#include <cinttypes>
#include <cstdio>
#include <string_view>

#include "protocol/message.h"

namespace palaver::server {

namespace {

struct Named {
    std::uint8_t type;
    std::string_view name;
};

constexpr Named kRequests[] = {
    {static_cast<std::uint8_t>(ClientType::Login), "login"},
    {static_cast<std::uint8_t>(ClientType::Logout), "logout"},
    {static_cast<std::uint8_t>(ClientType::Talk), "talk"},
    {static_cast<std::uint8_t>(ClientType::Walk), "walk"},
    {static_cast<std::uint8_t>(ClientType::Rename), "rename"},
    {static_cast<std::uint8_t>(ClientType::ModelChange), "model_change"},
    {static_cast<std::uint8_t>(ClientType::PictureChange), "picture_change"},
    {static_cast<std::uint8_t>(ClientType::Kick), "kick"},
    {static_cast<std::uint8_t>(ClientType::RoomListRequest), "room_list_request"},
    {static_cast<std::uint8_t>(ClientType::KeepAlive), "keep_alive"},
};

constexpr Named kDeliveries[] = {
    {static_cast<std::uint8_t>(ServerType::UserEntered), "user_entered"},
    {static_cast<std::uint8_t>(ServerType::UsersLeft), "users_left"},
    {static_cast<std::uint8_t>(ServerType::Talk), "talk"},
    {static_cast<std::uint8_t>(ServerType::UsersUpdated), "users_updated"},
    {static_cast<std::uint8_t>(ServerType::RoomList), "room_list"},
};

// Appends families and their samples in the text format: "# HELP", "# TYPE",
// then "name{labels} value" lines. Label values are our own words, never
// anything a client sent, so none needs escaping.
class Exposition {
  public:
    explicit Exposition(std::string& out) : out_(out) {}

    void family(std::string_view name, std::string_view type, std::string_view help) {
        out_.append("# HELP palaver_").append(name).append(" ").append(help).append("\n");
        out_.append("# TYPE palaver_").append(name).append(" ").append(type).append("\n");
    }
    // A family of one sample without labels.
    template <class Value>
    void single(std::string_view name, std::string_view type, std::string_view help, Value value) {
        family(name, type, help);
        sample(name, "", value);
    }
    void sample(std::string_view name, std::string_view labels, std::uint64_t value) {
        char text[24];
        std::snprintf(text, sizeof text, "%" PRIu64, value);
        line(name, labels, text);
    }
    void sample(std::string_view name, std::string_view labels, double value) {
        char text[32];
        std::snprintf(text, sizeof text, "%.6f", value);
        line(name, labels, text);
    }
    // One sample of the label `key`="value".
    void labelled(std::string_view name, std::string_view key, std::string_view value,
                  std::uint64_t count) {
        std::string labels(key);
        labels.append("=\"").append(value).append("\"");
        sample(name, labels, count);
    }

  private:
    void line(std::string_view name, std::string_view labels, const char* value) {
        out_.append("palaver_").append(name);
        if (!labels.empty()) {
            out_.append("{").append(labels).append("}");
        }
        out_.append(" ").append(value).append("\n");
    }

    std::string& out_;
};

// A counter by type byte: the named types, and the rest summed under
// `rest` (left out while it is zero when `restOnlyIfAny`).
template <std::size_t N>
void by_type(Exposition& e, std::string_view name, const std::array<std::uint64_t, 256>& counts,
             const Named (&named)[N], std::string_view rest, bool restOnlyIfAny) {
    std::uint64_t others = 0;
    for (std::size_t type = 0; type < counts.size(); ++type) {
        others += counts[type];
    }
    for (const Named& n : named) {
        e.labelled(name, "type", n.name, counts[n.type]);
        others -= counts[n.type];
    }
    if (others != 0 || !restOnlyIfAny) {
        e.labelled(name, "type", rest, others);
    }
}

}  // namespace

void Metrics::login_refused(Refusal code) {
    int index = -static_cast<int>(code) - 2;
    if (index >= 0 && index < static_cast<int>(loginRefusals_.size())) {
        ++loginRefusals_[static_cast<std::size_t>(index)];
    }
}

void Metrics::render(const Gauges& g, std::string& out) const {
    Exposition e(out);
    e.family("connections_accepted_total", "counter", "Connections accepted, by listener.");
    e.labelled("connections_accepted_total", "listener", "plain", accepted_[0]);
    e.labelled("connections_accepted_total", "listener", "tls", accepted_[1]);
    e.family("connections_refused_total", "counter",
             "Connections closed at once by the limits of their address, by the limit.");
    e.labelled("connections_refused_total", "reason", "per_address", refusedConnections_[0]);
    e.labelled("connections_refused_total", "reason", "rate", refusedConnections_[1]);
    e.family("connections_open", "gauge", "Connections open now, logging in or logged in.");
    e.labelled("connections_open", "listener", "plain", g.openPlain);
    e.labelled("connections_open", "listener", "tls", g.openTls);
    e.family("connections_logging_in", "gauge", "Connections open now and not logged in yet.");
    e.sample("connections_logging_in", "", std::uint64_t{g.loggingIn});

    e.family("logins_total", "counter", "Logins accepted.");
    e.sample("logins_total", "", logins_);
    e.family("login_refusals_total", "counter", "Logins refused, by the refusal's reason.");
    e.labelled("login_refusals_total", "reason", "malformed", loginRefusals_[0]);
    e.labelled("login_refusals_total", "reason", "wrong_login", loginRefusals_[1]);
    e.labelled("login_refusals_total", "reason", "full", loginRefusals_[2]);
    e.labelled("login_refusals_total", "reason", "banned", loginRefusals_[3]);

    e.family("messages_received_total", "counter",
             "Whole messages taken from clients, by type (unknown: any other type byte).");
    by_type(e, "messages_received_total", received_, kRequests, "unknown", false);
    e.family("deliveries_total", "counter",
             "Messages queued for a client, by type: a message to N clients is N deliveries.");
    by_type(e, "deliveries_total", delivered_, kDeliveries, "other", true);
    e.labelled("deliveries_total", "type", "login_reply", loginReplies_);

    e.family("queued_bytes", "gauge",
             "Memory held by every client's queue of messages not yet taken.");
    e.sample("queued_bytes", "", std::uint64_t{g.queuedBytes});
    e.family("queued_bytes_largest", "gauge", "Memory held by the largest one client's queue.");
    e.sample("queued_bytes_largest", "", std::uint64_t{g.largestQueue});

    e.family("session_closes_total", "counter", "Connections the server ended, by why.");
    for (std::size_t cause = 0; cause < kCloseCauses; ++cause) {
        e.labelled("session_closes_total", "reason", label(static_cast<CloseCause>(cause)),
                   closes_[cause]);
    }

    e.family("users", "gauge", "Users logged in on this server.");
    e.sample("users", "", std::uint64_t{g.users});
    e.family("rooms", "gauge", "Rooms with users on this server.");
    e.sample("rooms", "", std::uint64_t{g.rooms});

    if (g.cluster == nullptr) {
        return;
    }
    const ClusterStats& c = *g.cluster;
    e.family("cluster_peers", "gauge", "Other nodes of the cluster this node hears.");
    e.sample("cluster_peers", "", std::uint64_t{c.peers});
    e.family("cluster_peer_silence_seconds", "gauge",
             "Seconds since anything was last heard from each other node.");
    for (const auto& [node, seconds] : c.silence) {
        e.sample("cluster_peer_silence_seconds", "node=\"" + std::to_string(node) + "\"", seconds);
    }
    e.single("cluster_bus_delay_seconds", "gauge",
             "Seconds the oldest bus message of the latest batch waited for the event loop.",
             c.busDelay);
    e.single("cluster_bus_received_total", "counter",
             "Bus messages that reached this node, whatever became of them.", c.received);
    e.single("cluster_bus_room_received_total", "counter",
             "Bus messages that reached this node on a room's subject: only rooms it has users "
             "in.",
             c.roomReceived);
    e.single("cluster_rooms", "gauge", "Rooms whose bus subjects this node listens to.",
             std::uint64_t{c.rooms});
    e.single("cluster_bus_dropped_total", "counter",
             "Bus messages dropped because the event loop fell behind the bus.", c.dropped);
    e.single("cluster_bus_refused_total", "counter",
             "Bus messages refused: their header named another node than their subject, or a "
             "node that is not one of the cluster's.",
             c.refused);
    e.single("cluster_bus_stale_total", "counter",
             "Bus messages not applied: replayed, out of order, or arriving while a snapshot "
             "was awaited.",
             c.stale);
}

}  // namespace palaver::server
