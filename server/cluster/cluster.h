// This node's part in a cluster, on the server's event loop: it tells the
// bus what its users do, keeps the picture of the other nodes' users that
// the bus brings, passes their doings on to its own clients, says it is
// alive and notices the nodes that are not.
#ifndef PALAVER_SERVER_CLUSTER_CLUSTER_H
#define PALAVER_SERVER_CLUSTER_CLUSTER_H

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "server/cluster/bucket.h"
#include "server/cluster/bus_origin.h"
#include "server/cluster/inbox.h"
#include "server/cluster/nats_bus.h"
#include "server/cluster/remote_view.h"
#include "server/cluster_link.h"
#include "server/log_throttle.h"
#include "server/net.h"
#include "server/settings.h"

namespace palaver::server {
class ServerState;
}

namespace palaver::server::cluster {

class Cluster : public ClusterLink, private RemoteView::Sink {
  public:
    // Joins the bus; throws std::runtime_error when it cannot.
    Cluster(asio::io_context& io, ServerState& state, const ClusterSettings& settings);
    ~Cluster() override;
    Cluster(const Cluster&) = delete;
    Cluster& operator=(const Cluster&) = delete;

    // Says goodbye, so that the other nodes let this one's users leave at
    // once, and leaves the bus.
    void stop();

    std::int32_t next_id() override;
    void entered(const stUserInfo& user) override;
    void left(std::int32_t id, std::uint32_t key) override;
    void updated(const stUserInfo& user) override;
    void talked(std::int32_t sender, std::int32_t target, std::uint32_t key, bool whisper,
                const char* text, std::size_t length) override;
    bool room_ready(std::uint32_t key, std::function<void()> ready) override;
    const std::map<std::int32_t, stUserInfo>* remote_room(std::uint32_t key) const override;
    const stUserInfo* remote_user(std::int32_t id) const override;
    bool kick(std::int32_t target, std::int32_t minutes, const std::string& admin,
              const std::string& by) override;
    void banned(const std::string& name, std::int32_t minutes) override;
    ClusterStats stats() const override;
    void unbanned(const std::string& name) override;

  private:
    // RemoteView::Sink: what the other nodes' users did, for this node's.
    void joined(const stUserInfo& user) override;
    void departed(std::uint32_t key, const std::vector<std::int32_t>& ids) override;
    void changed(const stUserInfo& user) override;
    void heard(const BusTalk& talk) override;
    void kick_asked(const BusKick& kick, std::uint16_t from) override;
    void resync_needed(std::uint16_t node, std::uint32_t room, const std::string& why) override;
    void snapshot_wanted(std::uint32_t room) override;
    void met(std::uint16_t node) override;
    void cut_off(std::uint16_t node, const std::string& why) override;

    NatsBus::Handlers handlers();
    // A ban entry of the bucket put or deleted, for this node's users.
    void ban_stored(const std::string& key, const std::string& value);
    // `since`: when the batch's first message arrived from the bus.
    void take_inbox(Clock::time_point since);
    void on_bus(const std::uint8_t* bytes, std::size_t size);
    void on_connection(bool connected);
    void tick();
    void check_liveness();
    // The next message's header; a room's message names the room and this
    // node's previous message about it.
    BusHeader header(BusType type, std::uint32_t room = 0);
    // out_, on this node's own subject or on its subject of `room`.
    void publish();
    void publish(std::uint32_t room);
    void send_snapshot(std::uint32_t room);
    // Asks `node` (0: every node) for its users in `room`, or in every
    // room this node watches.
    void ask_for_snapshot(std::uint16_t node, std::uint32_t room);
    void ask_for_snapshots(std::uint16_t node);
    // Listens to the room and asks every node for its users there.
    void watch(std::uint32_t room);
    void unwatch(std::uint32_t room);
    // Calls the logins waiting for rooms now whole, or waiting too long.
    void release_waiters(bool expired);

    asio::io_context& io_;
    ServerState& state_;
    ClusterSettings settings_;
    std::uint64_t incarnation_;
    std::uint64_t seq_ = 0;
    RemoteView view_;
    asio::steady_timer timer_;
    std::vector<std::uint8_t> out_;  // the message being published
    const std::string ownSubject_;
    // The rooms this node's users are in: how many, the subject, and the
    // sequence number of this node's latest message about the room.
    struct OwnRoom {
        std::size_t users = 0;
        std::string subject;
        std::uint64_t last = 0;
    };
    std::unordered_map<std::uint32_t, OwnRoom> ownRooms_;
    // Logins waiting for a room to be whole, by room, with their deadline.
    struct Waiting {
        Clock::time_point until;
        std::vector<std::function<void()>> ready;
    };
    std::map<std::uint32_t, Waiting> waiting_;
    bool connected_ = true;
    std::uint32_t snapshots_ = 0;
    std::set<std::uint32_t> snapshotsWanted_;  // rooms, answered together
    bool snapshotPosted_ = false;
    bool bansWritePosted_ = false;
    bool stopped_ = false;
    bool warnedSameId_ = false;
    // Snapshot requests not yet answered, by node and room.
    std::map<std::pair<std::uint16_t, std::uint32_t>, Clock::time_point> asked_;

    std::vector<std::uint8_t> batch_;  // what the loop took from the inbox
    Clock::duration busDelay_{};       // how long the latest batch's first message waited
    std::uint64_t dropped_ = 0;        // bus messages the inbox dropped
    LogThrottle problems_{std::chrono::minutes(1)};  // what the bus client reports

    // Shared with the bus client's threads.
    const NodeSet nodes_;
    std::atomic<std::uint64_t> received_{0};
    std::atomic<std::uint64_t> roomReceived_{0};
    std::atomic<std::uint64_t> refused_{0};
    Inbox inbox_;
    std::array<std::atomic<Clock::rep>, kMaxNodeId + 1> heard_{};

    Bucket bucket_;  // stores through bus_

    std::unique_ptr<NatsBus> bus_;  // last: its threads stop before the rest goes
};

}  // namespace palaver::server::cluster

#endif
