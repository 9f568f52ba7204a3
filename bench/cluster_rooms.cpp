// Rooms spread over the nodes of a cluster: what the bus costs each node
// when every node serves the users of its own rooms only.
//
// One run: a nats-server and N palaver-server nodes started here (3 by
// default), then rooms of R raw clients (30 rooms of 10), room k's members
// all on node (k mod N) + 1. Every member sends M lines of 40 bytes into its
// room, never more than 256 ahead of the slowest member of the room; every
// line is checked to arrive exactly once and in order at every member of its
// room and nowhere else. Reports deliveries per second of the whole cluster
// (lines received from others, summed over the clients, first send to last
// delivery), the bus messages each node received during the run (its
// palaver_cluster_bus_received_total before the run and once the counters
// have settled after it), and the CPU time of each node and of the bus.
//
// --versus B runs a second server binary in the same run, alternating A, B,
// A, B, ..., and prints the medians of each and B's against A's, so the
// load of the machine weighs on both alike.
#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench_cluster.h"
#include "descriptor_limit.h"
#include "raw_fanout.h"
#include "run_figures.h"

namespace {

using namespace palaver;

struct Layout {
    std::size_t nodes = 3;
    std::size_t rooms = 30;
    std::size_t members = 10;
    std::uint64_t lines = 4000;
};

struct Figures {
    double rate = 0;
    std::uint64_t delivered = 0;
    double seconds = 0;
    std::vector<double> received;  // bus messages, per node
    std::vector<double> nodeCpu;   // seconds, per node
    double busCpu = 0;

    double mean_received() const {
        double sum = 0;
        for (double r : received) {
            sum += r;
        }
        return sum / static_cast<double>(received.size());
    }
    double nodes_cpu() const {
        double sum = 0;
        for (double c : nodeCpu) {
            sum += c;
        }
        return sum;
    }
};

std::vector<double> bus_received(const bench::BenchCluster& cluster) {
    std::vector<double> counts;
    for (std::size_t i = 0; i < cluster.size(); ++i) {
        counts.push_back(cluster.bus_received(i));
    }
    return counts;
}

// A node can take the bus traffic of other nodes' rooms after the last
// delivery in its own: waits until the counters move by no more than the
// heartbeats (each node hears every other once a second), 10 s at most.
std::vector<double> settled_bus_received(const bench::BenchCluster& cluster) {
    const double heartbeats = static_cast<double>(cluster.size() * cluster.size());
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    std::vector<double> last = bus_received(cluster);
    while (std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        std::vector<double> now = bus_received(cluster);
        double moved = 0;
        for (std::size_t i = 0; i < now.size(); ++i) {
            moved += now[i] - last[i];
        }
        last = now;
        if (moved <= heartbeats) {
            break;
        }
    }
    return last;
}

Figures run_once(const std::string& binary, const Layout& layout) {
    std::size_t roomsPerNode = (layout.rooms + layout.nodes - 1) / layout.nodes;
    bench::BenchCluster cluster(binary, layout.nodes, roomsPerNode * layout.members + 10);
    std::vector<std::uint16_t> ports = cluster.ports();
    std::vector<bench::RoomSeats> rooms;
    for (std::size_t k = 0; k < layout.rooms; ++k) {
        rooms.push_back({static_cast<std::uint32_t>(k + 1),
                         std::vector<std::uint16_t>(layout.members, ports[k % layout.nodes])});
    }
    bench::RawFanout fanout(rooms, layout.lines, bench::WindowRule::SlowestReader);
    std::vector<double> receivedBefore = settled_bus_received(cluster);  // the logins' Entered too
    std::vector<double> cpuBefore;
    for (std::size_t i = 0; i < cluster.size(); ++i) {
        cpuBefore.push_back(cluster.node_cpu_seconds(i));
    }
    double busBefore = cluster.bus_cpu_seconds();

    Figures f;
    f.rate = fanout.run();
    f.delivered = fanout.delivered();
    f.seconds = fanout.seconds();
    std::vector<double> receivedAfter = settled_bus_received(cluster);
    for (std::size_t i = 0; i < cluster.size(); ++i) {
        f.received.push_back(receivedAfter[i] - receivedBefore[i]);
        f.nodeCpu.push_back(cluster.node_cpu_seconds(i) - cpuBefore[i]);
    }
    f.busCpu = cluster.bus_cpu_seconds() - busBefore;
    return f;
}

void print_run(const char* side, std::size_t run, const Figures& f) {
    std::printf("%s run %zu: %6.2f M/s (%llu deliveries in %.2f s) | bus received per node", side,
                run, f.rate / 1e6, static_cast<unsigned long long>(f.delivered), f.seconds);
    for (double r : f.received) {
        std::printf(" %.0f", r);
    }
    std::printf(", mean %.0f | CPU nodes", f.mean_received());
    for (double c : f.nodeCpu) {
        std::printf(" %.2f", c);
    }
    std::printf(" s, bus %.2f s\n", f.busCpu);
    std::fflush(stdout);
}

struct Medians {
    double rate;
    double received;
    double nodesCpu;
    double busCpu;
};

Medians print_medians(const char* side, const std::vector<Figures>& runs) {
    std::vector<double> rate, received, nodesCpu, busCpu;
    for (const Figures& f : runs) {
        rate.push_back(f.rate);
        received.push_back(f.mean_received());
        nodesCpu.push_back(f.nodes_cpu());
        busCpu.push_back(f.busCpu);
    }
    Medians m{bench::median(rate), bench::median(received), bench::median(nodesCpu),
              bench::median(busCpu)};
    std::printf(
        "%s median of %zu: %6.2f M/s | bus received per node, mean %.0f | CPU nodes %.2f s "
        "in all, bus %.2f s\n",
        side, runs.size(), m.rate / 1e6, m.received, m.nodesCpu, m.busCpu);
    return m;
}

}  // namespace

int main(int argc, char** argv) {
    std::string binary = PALAVER_SERVER_BINARY;
    std::string versus;
    std::size_t runs = 3;
    Layout layout;
    CLI::App app{"Rooms spread over the nodes of a cluster: deliveries and bus traffic per node"};
    app.add_option("--server", binary, "palaver-server binary (A)")->capture_default_str();
    app.add_option("--versus", versus, "A second binary (B), run alternately with A");
    app.add_option("--runs", runs, "Runs of each binary")
        ->capture_default_str()
        ->check(CLI::PositiveNumber);
    app.add_option("--nodes", layout.nodes, "Nodes")
        ->capture_default_str()
        ->check(CLI::Range(1, 127));
    app.add_option("--rooms", layout.rooms, "Rooms; room k is on node (k mod nodes) + 1")
        ->capture_default_str()
        ->check(CLI::PositiveNumber);
    app.add_option("--members", layout.members, "Users per room")
        ->capture_default_str()
        ->check(CLI::Range(2, 1000));
    app.add_option("--lines", layout.lines, "Lines M each user sends")
        ->capture_default_str()
        ->check(CLI::PositiveNumber);
    CLI11_PARSE(app, argc, argv);

    std::printf("%zu nodes, %zu rooms of %zu users, M = %llu lines each\nA: %s\n", layout.nodes,
                layout.rooms, layout.members, static_cast<unsigned long long>(layout.lines),
                binary.c_str());
    if (!versus.empty()) {
        std::printf("B: %s\n", versus.c_str());
    }
    try {
        bench::raise_descriptor_limit();
        std::vector<Figures> a, b;
        for (std::size_t run = 1; run <= runs; ++run) {
            a.push_back(run_once(binary, layout));
            print_run("A", run, a.back());
            if (!versus.empty()) {
                b.push_back(run_once(versus, layout));
                print_run("B", run, b.back());
            }
        }
        Medians ma = print_medians("A", a);
        if (!versus.empty()) {
            Medians mb = print_medians("B", b);
            std::printf("B against A: deliveries per second %.2fx, bus received per node %.0f %%\n",
                        mb.rate / ma.rate, 100.0 * mb.received / ma.received);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "cluster_rooms: %s\n", e.what());
        return 1;
    }
    return 0;
}
