#include "bench_cluster.h"

#include <stdexcept>

#include "metrics_scrape.h"
#include "tests/support/proc_stats.h"

namespace palaver::bench {

BenchCluster::BenchCluster(const std::string& binary, std::size_t nodes, std::size_t maxClients)
    : bus_("nats-server") {
    if (bus_.url().empty()) {
        throw std::runtime_error("nats-server did not start");
    }
    for (std::size_t i = 1; i <= nodes; ++i) {
        nodes_.push_back(std::make_unique<BenchServer>(
            binary, maxClients,
            std::vector<std::string>{"--cluster", bus_.url(), "--node-id", std::to_string(i),
                                     "--metrics-listen", "127.0.0.1:0"}));
        // Printed after the chat port: "palaver-server metrics on 127.0.0.1:PORT".
        metricsPorts_.push_back(nodes_.back()->port_after("palaver-server metrics on "));
        if (metricsPorts_.back() == 0) {
            throw std::runtime_error("node " + std::to_string(i) + " reported no metrics port");
        }
    }
}

std::vector<std::uint16_t> BenchCluster::ports() const {
    std::vector<std::uint16_t> ports;
    for (const auto& node : nodes_) {
        ports.push_back(node->port());
    }
    return ports;
}

double BenchCluster::bus_received(std::size_t i) const {
    return scrape_metric(metricsPorts_[i], "palaver_cluster_bus_received_total");
}

double BenchCluster::nodes_cpu_seconds() const {
    double sum = 0;
    for (std::size_t i = 0; i < nodes_.size(); ++i) {
        sum += node_cpu_seconds(i);
    }
    return sum;
}

double BenchCluster::bus_cpu_seconds() const {
    return test::cpu_seconds_of(bus_.pid());
}

}  // namespace palaver::bench
