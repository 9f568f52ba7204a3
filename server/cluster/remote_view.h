// What one node knows of the others in the rooms it has users in: how far it
// has read each one's stream of messages about each room, whether that
// picture is whole, and their users by room.
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
        // This node's picture of `node`'s users in `room` is not whole: ask
        // it for its snapshot of the room.
        virtual void resync_needed(std::uint16_t node, std::uint32_t room,
                                   const std::string& why) = 0;
        // Another node asks for this node's snapshot of `room`.
        virtual void snapshot_wanted(std::uint32_t room) = 0;
        // A node (or a new run of it) is heard for the first time: it may
        // have users in the rooms watched here.
        virtual void met(std::uint16_t node) = 0;
        // `node` announced more users than this node holds for it: its users
        // left, and this run of it is not heard any more.
        virtual void cut_off(std::uint16_t node, const std::string& why) = 0;
    };

    using Limits = RemoteLimits;

    using Room = std::map<std::int32_t, stUserInfo>;

    explicit RemoteView(std::uint16_t self, Limits limits = {}) : self_(self), limits_(limits) {}

    // A message from another node. Each node's messages about one room come
    // in the order it sent them; those about different rooms need not.
    void apply(const BusMessage& m, Sink& sink);
    // The node stopped or went silent: its users leave.
    void forget(std::uint16_t node, Sink& sink);

    // The rooms this node has users in (or is about to): only their
    // messages are taken. Unwatching a room lets its other users go without
    // telling anyone, as nobody here is left to tell.
    void watch(std::uint32_t room) { watched_.insert(room); }
    void unwatch(std::uint32_t room);
    bool watching(std::uint32_t room) const { return watched_.count(room) != 0; }
    const std::set<std::uint32_t>& watched() const { return watched_; }
    // Whether every node heard of has given this node its users in the
    // room (each node answers a room's resynchronisation, also with none).
    bool whole(std::uint32_t room) const;
    // The nodes heard of that have not given their users in the room.
    std::vector<std::uint16_t> missing(std::uint32_t room) const;

    const Room* room(std::uint32_t key) const;
    const stUserInfo* find(std::int32_t id) const;
    std::vector<std::uint16_t> nodes() const;
    bool knows(std::uint16_t node) const { return nodes_.count(node) != 0; }
    // The nodes and rooms whose users this node may not know in full, until
    // their next snapshot arrives.
    std::vector<std::pair<std::uint16_t, std::uint32_t>> unsynced() const;
    // Messages dropped, never applied: replayed or older than what was
    // applied from their node, or changes to its users in a room while its
    // snapshot of the room is awaited.
    std::uint64_t stale() const { return stale_; }

  private:
    // What one node said about one room.
    struct Stream {
        bool seen = false;
        std::uint64_t last = 0;  // sequence number of its latest message taken
        bool synced = false;
        std::set<std::int32_t> members;
        // A snapshot being received: its number, the next part, the records.
        bool collecting = false;
        std::uint32_t snapshot = 0;
        std::uint16_t nextPart = 0;
        std::vector<stUserInfo> records;
    };
    struct Node {
        std::uint64_t incarnation = 0;
        std::uint64_t lastOwn = 0;  // of its messages on its own subject
        std::size_t users = 0;      // in all its streams
        std::map<std::uint32_t, Stream> streams;
    };

    void room_message(Node& node, const BusMessage& m, Sink& sink);
    // Whether the room's message is the next of its stream and may be applied.
    bool follow(Stream& stream, const BusMessage& m, Sink& sink);
    void ended(std::uint16_t id, std::uint64_t incarnation);
    bool has_ended(std::uint16_t id, std::uint64_t incarnation) const;
    // Whether `count` users of node `id` would pass the limits; if so, cuts
    // that node off.
    bool too_many(std::uint16_t id, std::size_t count, Sink& sink);
    void upsert(Node& node, Stream& stream, const stUserInfo& user, Sink& sink);
    void remove(Node& node, std::uint32_t room, Stream& stream,
                const std::vector<std::int32_t>& ids, Sink* sink);
    void snapshot_part(std::uint16_t id, std::uint32_t room, const BusSnapshotPart& part,
                       Sink& sink);

    std::uint16_t self_;
    Limits limits_;
    std::set<std::uint32_t> watched_;
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
