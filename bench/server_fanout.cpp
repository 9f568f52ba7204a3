// palaver-server benchmarks, against a real server process on loopback.
//
// Fan-out: R clients log into one room and each sends M chat lines of 40
// bytes, never more than 256 of its lines ahead of the slowest member (its
// own echo included).
// Reports deliveries per second (lines received from others, summed over the
// clients) from the first send to the last delivery, after checking that
// every line arrived exactly once and in order (own echoes too, not counted).
//
// Idle memory (--idle N): N clients log in, in rooms of --room-size, and stay
// quiet; reports the server's resident memory.
//
// Cluster (--cluster): each room size twice in one run, the members on one
// node, then spread over two nodes that meet on a nats-server started here;
// reports the rate and the CPU time of every server process and of the bus.
//
// Everything stays on 127.0.0.1 and ends by itself (a stalled run fails
// after 10 s without progress).
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <asio.hpp>
#include <chrono>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench_cluster.h"
#include "bench_server.h"
#include "descriptor_limit.h"
#include "raw_fanout.h"

namespace {

using asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using namespace palaver;

int idle(const std::string& binary, std::size_t count, std::size_t roomSize) {
    bench::raise_descriptor_limit();
    bench::BenchServer server(binary, count + 100);
    auto before = server.memory();
    asio::io_context io;
    std::vector<tcp::socket> sockets;
    sockets.reserve(count);
    auto start = Clock::now();
    for (std::size_t i = 0; i < count; ++i) {
        sockets.emplace_back(io);
        bench::raw_login(sockets.back(), server.port(), "idle" + std::to_string(i),
                         static_cast<std::uint32_t>(i / roomSize));
    }
    double loginSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    // Take the arrivals each client was sent, so the server holds nothing.
    std::vector<std::uint8_t> sink(65536);
    for (auto& s : sockets) {
        s.non_blocking(true);
        asio::error_code ec;
        while (s.read_some(asio::buffer(sink), ec) > 0) {
        }
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
    auto after = server.memory();
    std::printf("idle: %zu logged-in connections in rooms of %zu (logins took %.2f s)\n", count,
                roomSize, loginSeconds);
    std::printf(
        "idle: server resident memory %.1f MiB (%.1f MiB before the clients; peak "
        "%.1f MiB), %.1f KiB per connection\n",
        after.first / 1024.0, before.first / 1024.0, after.second / 1024.0,
        static_cast<double>(after.first - before.first) / static_cast<double>(count));
    return 0;
}

void print_rate(const char* label, std::size_t r, std::uint64_t lines,
                const bench::RawFanout& fanout, double rate) {
    std::printf("fanout%s: R=%3zu M=%8llu  %10llu deliveries in %6.3f s  %6.2f M/s\n", label, r,
                static_cast<unsigned long long>(lines),
                static_cast<unsigned long long>(fanout.delivered()), fanout.seconds(), rate / 1e6);
}

// One room size on one node, then over two nodes and the bus.
void cluster(const std::string& binary, std::size_t r, std::uint64_t lines) {
    {
        bench::BenchServer server(binary, r + 10);
        bench::RawFanout fanout(server.port(), r, lines, bench::WindowRule::SlowestReader);
        double before = server.cpu_seconds();
        double rate = fanout.run();
        double cpu = server.cpu_seconds() - before;
        print_rate(" one node ", r, lines, fanout, rate);
        std::printf("    CPU: server %.2f s; %.2f s per million deliveries\n", cpu,
                    cpu / (static_cast<double>(fanout.delivered()) / 1e6));
    }
    bench::BenchCluster nodes(binary, 2, r + 10);
    bench::RawFanout fanout(nodes.ports(), r, lines, bench::WindowRule::SlowestReader);
    double nodesBefore = nodes.nodes_cpu_seconds();
    double busBefore = nodes.bus_cpu_seconds();
    double rate = fanout.run();
    double nodesCpu = nodes.nodes_cpu_seconds() - nodesBefore;
    double busCpu = nodes.bus_cpu_seconds() - busBefore;
    print_rate(" two nodes", r, lines, fanout, rate);
    std::printf(
        "    CPU: nodes %.2f s, bus %.2f s; %.2f s per million deliveries; %llu lines over the "
        "bus\n",
        nodesCpu, busCpu, (nodesCpu + busCpu) / (static_cast<double>(fanout.delivered()) / 1e6),
        static_cast<unsigned long long>(lines * r));
}

}  // namespace

int main(int argc, char** argv) {
    std::string binary = PALAVER_SERVER_BINARY;
    std::vector<std::size_t> rooms{2, 10, 50};
    std::uint64_t deliveries = 4000000;
    std::size_t idleCount = 0;
    std::size_t roomSize = 100;
    CLI::App app{"palaver-server fan-out and idle-memory benchmarks"};
    app.add_option("--server", binary, "palaver-server binary")->capture_default_str();
    app.add_option("--members", rooms, "Room sizes R to measure")->capture_default_str();
    app.add_option("--deliveries", deliveries, "About how many deliveries per room size")
        ->capture_default_str();
    app.add_option("--idle", idleCount, "Measure memory with this many idle connections instead");
    app.add_option("--room-size", roomSize, "Users per room with --idle")->capture_default_str();
    bool clustered = false;
    app.add_flag("--cluster", clustered,
                 "Each room size on one node, then over two nodes and a nats-server");
    CLI11_PARSE(app, argc, argv);
    try {
        if (idleCount > 0) {
            return idle(binary, idleCount, std::max<std::size_t>(roomSize, 1));
        }
        for (std::size_t r : rooms) {
            if (r < 2) {
                continue;
            }
            std::uint64_t lines = std::max<std::uint64_t>(1000, deliveries / (r * (r - 1)));
            if (clustered) {
                cluster(binary, r, lines);
            } else {
                bench::BenchServer server(binary, r + 10);
                bench::RawFanout fanout(server.port(), r, lines, bench::WindowRule::SlowestReader);
                print_rate("", r, lines, fanout, fanout.run());
            }
            std::fflush(stdout);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "server_fanout: %s\n", e.what());
        return 1;
    }
    return 0;
}
