// A cluster as the benchmarks run it: a nats-server started here and nodes
// 1 to N of palaver-server on it, all on loopback, each with its /metrics on
// a free port it reports.
#ifndef PALAVER_BENCH_BENCH_CLUSTER_H
#define PALAVER_BENCH_BENCH_CLUSTER_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bench_server.h"
#include "tests/support/nats_process.h"

namespace palaver::bench {

class BenchCluster {
  public:
    // Each node with room for `maxClients` users of its own; throws when the
    // bus or a node does not come up.
    BenchCluster(const std::string& binary, std::size_t nodes, std::size_t maxClients);

    std::size_t size() const { return nodes_.size(); }
    // The chat ports of the nodes, node 1's first.
    std::vector<std::uint16_t> ports() const;
    // Bus messages node i (from 0) has received since it started.
    double bus_received(std::size_t i) const;
    double node_cpu_seconds(std::size_t i) const { return nodes_[i]->cpu_seconds(); }
    double nodes_cpu_seconds() const;
    double bus_cpu_seconds() const;

  private:
    test::NatsProcess bus_;
    std::vector<std::unique_ptr<BenchServer>> nodes_;
    std::vector<std::uint16_t> metricsPorts_;
};

}  // namespace palaver::bench

#endif
