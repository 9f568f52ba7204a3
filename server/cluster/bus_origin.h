// The bus's subjects, and whom a message may speak for. A node publishes
// what concerns only itself on its own subject, "palaver.node.<id>", and
// what happens in a room on that room's subject of its own,
// "palaver.room.<key>.<id>" (the key as 8 lowercase hex digits). A message
// is taken only when the node its header names is the node of the subject
// it arrived on and one of the cluster's nodes, and a room's message only on
// that room's subject. Pure: no bus, no threads, so that the fuzzer can feed
// it too.
#ifndef PALAVER_SERVER_CLUSTER_BUS_ORIGIN_H
#define PALAVER_SERVER_CLUSTER_BUS_ORIGIN_H

#include <bitset>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "server/cluster/bus_message.h"
#include "server/cluster/remote_view.h"

namespace palaver::server::cluster {

constexpr std::string_view kNodeSubjectPrefix = "palaver.node.";
constexpr std::string_view kRoomSubjectPrefix = "palaver.room.";

std::string node_subject(std::uint16_t node);
std::string room_subject(std::uint32_t room, std::uint16_t node);
// Every node's subject of the room: what a node with users there listens to.
std::string room_subjects(std::uint32_t room);

// The node (1..127, decimal without leading zero) and, for a room's
// subject, the room a subject names; nothing for any other subject.
struct SubjectOrigin {
    std::uint16_t node = 0;
    std::optional<std::uint32_t> room;
};
std::optional<SubjectOrigin> parse_subject(std::string_view subject);

// The node ids of the cluster; every id 1..127 when none is configured.
class NodeSet {
  public:
    explicit NodeSet(const std::vector<std::uint16_t>& ids = {});
    bool contains(std::uint16_t node) const { return node <= kMaxNodeId && set_[node]; }

  private:
    std::bitset<kMaxNodeId + 1> set_;
};

// True when the message may be taken: it arrived on a subject of the node
// its header names, that node is one of the cluster's, and a room's message
// came on that room's subject (the others on the node's own).
bool from_its_node(std::string_view subject, const BusHeader& header, const NodeSet& nodes);

}  // namespace palaver::server::cluster

#endif
