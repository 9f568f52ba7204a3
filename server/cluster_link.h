// What a node tells the rest of its cluster and asks of it. A server started
// without --cluster has none and is a cluster of one.
#ifndef PALAVER_SERVER_CLUSTER_LINK_H
#define PALAVER_SERVER_CLUSTER_LINK_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "palaver_records.h"

namespace palaver::server {

// What /metrics shows of the cluster.
struct ClusterStats {
    std::size_t peers = 0;  // other nodes this node hears
    // Seconds since anything came from each of them, by node id.
    std::vector<std::pair<std::uint16_t, double>> silence;
    // Seconds the oldest message of the latest batch from the bus waited
    // between its arrival and the event loop taking it.
    double busDelay = 0;
    std::uint64_t received = 0;      // bus messages that reached this node
    std::uint64_t roomReceived = 0;  // of them, on a room's subject
    std::size_t rooms = 0;           // rooms whose subjects this node listens to
    std::uint64_t dropped = 0;       // bus messages dropped: the loop fell behind
    // Bus messages refused: on another node's subject than their header's,
    // or from a node that is not one of the cluster's.
    std::uint64_t refused = 0;
    // Bus messages not applied: replayed, older than what was applied from
    // their node, or arriving while its snapshot was awaited.
    std::uint64_t stale = 0;
};

class ClusterLink {
  public:
    virtual ~ClusterLink() = default;

    // A user id no node has handed out while the cluster runs.
    virtual std::int32_t next_id() = 0;

    // Changes of this node's users, in the order they happen.
    virtual void entered(const stUserInfo& user) = 0;
    virtual void left(std::int32_t id, std::uint32_t key) = 0;
    virtual void updated(const stUserInfo& user) = 0;
    virtual void talked(std::int32_t sender, std::int32_t target, std::uint32_t key, bool whisper,
                        const char* text, std::size_t length) = 0;

    // True when this node holds the room's users on every other node; else
    // false, and `ready` is called on the event loop once it does, or once
    // the nodes that have not answered are taken for dead: a login into a
    // room this node has no users in yet waits for the room to be whole.
    virtual bool room_ready(std::uint32_t key, std::function<void()> ready) = 0;

    // The users of the room on the other nodes, by id; null when none.
    virtual const std::map<std::int32_t, stUserInfo>* remote_room(std::uint32_t key) const = 0;
    virtual const stUserInfo* remote_user(std::int32_t id) const = 0;

    // Asks the node of `target` to kick it; false when no other node has it.
    // `admin` is the kicking admin's login name, which that node checks
    // against its accounts; `by` describes the kicking session for the log.
    virtual bool kick(std::int32_t target, std::int32_t minutes, const std::string& admin,
                      const std::string& by) = 0;
    // A ban this node decided, by login name, for every node to keep.
    virtual void banned(const std::string& name, std::int32_t minutes) = 0;

    virtual ClusterStats stats() const { return {}; }
    // A ban lifted on this node, for every node to lift.
    virtual void unbanned(const std::string& name) = 0;
};

}  // namespace palaver::server

#endif
