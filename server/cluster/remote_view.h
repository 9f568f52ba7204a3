// What one node knows of the others: how far it has read each one's stream
// of bus messages, whether that picture is whole, and their users by room.
// Pure bookkeeping: it is fed decoded messages and tells a Sink what
// changed, so that the node can tell its own clients.
#ifndef PALAVER_SERVER_CLUSTER_REMOTE_VIEW_H
#define PALAVER_SERVER_CLUSTER_REMOTE_VIEW_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "palaver_records.h"
#include "server/cluster/bus_message.h"

namespace palaver::server::cluster {

// A user id names its node in bits 24 to 30.
constexpr int kNodeShift = 24;
constexpr std::uint16_t kMaxNodeId = 127;
inline std::uint16_t node_of(std::int32_t id) {
    return id > 0 ? static_cast<std::uint16_t>(id >> kNodeShift) : 0;
}

// How many other nodes' users a node holds, per node and in all.
struct RemoteLimits {
    std::size_t perNode = 262144;
    std::size_t total = 1048576;
};

class RemoteView {
  public:
    struct Sink {
        virtual ~Sink() = default;
        virtual void joined(const stUserInfo& user) = 0;
        virtual void departed(std::uint32_t key, const std::vector<std::int32_t>& ids) = 0;
        virtual void changed(const stUserInfo& user) = 0;
        virtual void heard(const BusTalk& talk) = 0;
        virtual void kick_asked(const BusKick& kick, std::uint16_t from) = 0;
        // This node's picture of `node` is not whole: ask it for a snapshot.
        virtual void resync_needed(std::uint16_t node, const std::string& why) = 0;
        // Another node asks for this node's snapshot.
        virtual void snapshot_wanted() = 0;
        // `node` announced more users than this node holds for it: its users
        // left, and this run of it is not heard any more.
        virtual void cut_off(std::uint16_t node, const std::string& why) = 0;
    };

    using Limits = RemoteLimits;

    using Room = std::map<std::int32_t, stUserInfo>;

    explicit RemoteView(std::uint16_t self, Limits limits = {}) : self_(self), limits_(limits) {}

    // A message from another node, in the order that node sent it.
    void apply(const BusMessage& m, Sink& sink);
    // The node stopped or went silent: its users leave.
    void forget(std::uint16_t node, Sink& sink);

    const Room* room(std::uint32_t key) const;
    const stUserInfo* find(std::int32_t id) const;
    std::vector<std::uint16_t> nodes() const;
    // Nodes whose users this node may not know in full, until their next
    // snapshot arrives.
    std::vector<std::uint16_t> unsynced() const;
    // Messages dropped, never applied: replayed or older than what was
    // applied from their node, or changes to its users while its snapshot
    // is awaited.
    std::uint64_t stale() const { return stale_; }

  private:
    struct Node {
        std::uint64_t incarnation = 0;
        std::uint64_t nextSeq = 0;
        bool synced = false;
        std::set<std::int32_t> members;
        // A snapshot being received: its number, the next part, the records.
        bool collecting = false;
        std::uint32_t snapshot = 0;
        std::uint16_t nextPart = 0;
        std::vector<stUserInfo> records;
    };

    // Whether the message is the next of its node's stream and may be applied.
    bool follow(Node& node, const BusHeader& h, Sink& sink);
    void ended(std::uint16_t id, std::uint64_t incarnation);
    bool has_ended(std::uint16_t id, std::uint64_t incarnation) const;
    // Whether `count` users of node `id` would pass the limits; if so, cuts
    // that node off.
    bool too_many(std::uint16_t id, std::size_t count, Sink& sink);
    void upsert(Node& node, const stUserInfo& user, Sink& sink);
    void remove(Node& node, const std::vector<std::int32_t>& ids, Sink& sink);
    void snapshot_part(Node& node, std::uint16_t id, const BusSnapshotPart& part, Sink& sink);

    std::uint16_t self_;
    Limits limits_;
    std::unordered_map<std::uint16_t, Node> nodes_;
    std::unordered_map<std::uint32_t, Room> rooms_;
    std::unordered_map<std::int32_t, std::uint32_t> where_;  // id -> room key
    // The latest runs of each node that said goodbye, were replaced by a new
    // run or were cut off: their messages change nothing.
    std::unordered_map<std::uint16_t, std::vector<std::uint64_t>> ended_;
    std::uint64_t stale_ = 0;
};

}  // namespace palaver::server::cluster

#endif
