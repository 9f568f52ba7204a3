// Whom a bus message may speak for: a node publishes only on its own
// subject, so a message is taken only when the node its header names is the
// node of the subject it arrived on, and is one of the cluster's nodes.
// Pure: no bus, no threads, so that the fuzzer can feed it too.
#ifndef PALAVER_SERVER_CLUSTER_BUS_ORIGIN_H
#define PALAVER_SERVER_CLUSTER_BUS_ORIGIN_H

#include <bitset>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "server/cluster/bus_message.h"
#include "server/cluster/remote_view.h"

namespace palaver::server::cluster {

constexpr std::string_view kNodeSubjectPrefix = "palaver.node.";

// The node of "palaver.node.N" (N in 1..127, decimal without leading zero);
// nothing for any other subject.
std::optional<std::uint16_t> subject_node(std::string_view subject);

// The node ids of the cluster; every id 1..127 when none is configured.
class NodeSet {
  public:
    explicit NodeSet(const std::vector<std::uint16_t>& ids = {});
    bool contains(std::uint16_t node) const { return node <= kMaxNodeId && set_[node]; }

  private:
    std::bitset<kMaxNodeId + 1> set_;
};

// True when the message may be taken: it arrived on the subject of the node
// its header names, and that node is one of the cluster's.
bool from_its_node(std::string_view subject, const BusHeader& header, const NodeSet& nodes);

}  // namespace palaver::server::cluster

#endif
