// One side of a fan-out run against a fresh server: its rate, and the
// processor time its clients and the server spent per delivery (a figure
// that other load on the machine moves far less than the rate).
#ifndef PALAVER_BENCH_FANOUT_SIDE_H
#define PALAVER_BENCH_FANOUT_SIDE_H

#include <cstdint>
#include <string>
#include <utility>

#include "bench_server.h"
#include "run_figures.h"

namespace palaver::bench {

struct Side {
    double rate = 0;
    double clientNs = 0;
    double serverNs = 0;
    double cpuNs() const { return clientNs + serverNs; }
};

// Starts a server with room for `members`, and measures `run(server)`, which
// returns {deliveries per second, deliveries}.
template <typename Run>
Side measure_side(const std::string& binary, std::size_t members, Run&& run) {
    BenchServer server(binary, members + 10);
    double cpuBefore = process_cpu_seconds();
    auto [rate, delivered] = run(server);
    double perDelivery = 1e9 / static_cast<double>(delivered);
    return Side{rate, (process_cpu_seconds() - cpuBefore) * perDelivery,
                server.cpu_seconds() * perDelivery};
}

}  // namespace palaver::bench

#endif
