// What a node tells the rest of its cluster and asks of it. A server started
// without --cluster has none and is a cluster of one.
#ifndef PALAVER_SERVER_CLUSTER_LINK_H
#define PALAVER_SERVER_CLUSTER_LINK_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "palaver_records.h"

namespace palaver::server {

class ClusterLink {
  public:
    virtual ~ClusterLink() = default;

    // A user id no node has handed out while the cluster runs.
    virtual std::int32_t next_id() = 0;

    // Changes of this node's users, in the order they happen.
    virtual void entered(const stUserInfo& user) = 0;
    virtual void left(std::int32_t id) = 0;
    virtual void updated(const stUserInfo& user) = 0;
    virtual void talked(std::int32_t sender, std::int32_t target, std::uint32_t key, bool whisper,
                        const char* text, std::size_t length) = 0;

    // The users of the room on the other nodes, by id; null when none.
    virtual const std::map<std::int32_t, stUserInfo>* remote_room(std::uint32_t key) const = 0;
    virtual const stUserInfo* remote_user(std::int32_t id) const = 0;

    // Asks the node of `target` to kick it; false when no other node has it.
    virtual bool kick(std::int32_t target, std::int32_t minutes, const std::string& by) = 0;
    // A ban this node decided, by login name, for every node to keep.
    virtual void banned(const std::string& name, std::int32_t minutes) = 0;
    // A ban lifted on this node, for every node to lift.
    virtual void unbanned(const std::string& name) = 0;
};

}  // namespace palaver::server

#endif
