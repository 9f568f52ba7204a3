// Room fan-out through the C interface, many clients in this one process,
// against a palaver-server process on loopback; beside it, in the same run,
// the same workload with raw Asio clients (the measure of what the server and
// loopback give).
//
// Fan-out: R clients in one room each send M lines of 40 bytes, never more
// than 256 of their own lines ahead of their own echo; every line is checked
// to arrive exactly once and in order at every member. Deliveries are lines
// received from others, summed over the clients, from the first send to the
// last delivery. Each library client has a host thread that sends what its
// window allows with one palaver_send_talks (--line-sends: palaver_send_talk
// for each line), sleeps in palaver_wait and takes its lines with
// palaver_get_talk.
//
// Latency: two library clients take turns to send one line; from the send
// call to the return of the receiver's palaver_wait that brought it. Beside
// it, two raw clients on one thread: the part the server and loopback take;
// and one raw and one library client on one thread, which split the
// library's part into its receive side and its send side.
//
// Scale (--scale N): N library clients log in, in rooms of --room-size, and
// stay quiet; reports this process's resident memory and threads.
//
// Everything stays on 127.0.0.1 and ends by itself: a run without progress
// for --stall seconds fails.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench_server.h"
#include "c_room.h"
#include "c_scale.h"
#include "descriptor_limit.h"
#include "fanout_side.h"
#include "palaver_c.h"
#include "raw_fanout.h"
#include "raw_latency.h"
#include "split_latency.h"

namespace {

using namespace palaver;
using namespace palaver::bench;

struct Options {
    std::string binary = PALAVER_SERVER_BINARY;
    std::vector<std::size_t> rooms{2, 10, 50};
    std::uint64_t deliveries = 2000000;
    std::uint64_t lines = 0;
    int runs = 3;
    std::size_t latencyLines = 20000;
    int stall = 10;
    std::size_t scale = 0;
    std::size_t roomSize = 100;
    bool libraryOnly = false;
    bool lineSends = false;
};

Limits limits_for(const Options& o, BenchServer& server) {
    return Limits{std::chrono::seconds(o.stall), [&server] { server.stop(); }};
}

std::uint64_t lines_for(const Options& o, std::size_t r) {
    if (o.lines > 0) {
        return o.lines;
    }
    return std::max<std::uint64_t>(1000, o.deliveries / (r * (r - 1)));
}

void fanouts(const Options& o) {
    std::map<std::size_t, std::vector<double>> raw, lib, ratio, rawCpu, libCpu;
    for (int run = 1; run <= o.runs; ++run) {
        for (std::size_t r : o.rooms) {
            std::uint64_t lines = lines_for(o, r);
            Side rawSide;
            if (!o.libraryOnly) {
                rawSide = measure_side(o.binary, r, [&](BenchServer& server) {
                    RawFanout fanout(server.port(), r, lines, WindowRule::OwnEcho,
                                     std::chrono::seconds(o.stall));
                    double rate = fanout.run();
                    return std::pair{rate, fanout.delivered()};
                });
            }
            Side c = measure_side(o.binary, r, [&](BenchServer& server) {
                FanoutFigures f = c_room_fanout(server.port(), r, lines,
                                                o.lineSends ? SendMode::EachLine : SendMode::Batch,
                                                ClientKind::Threaded, limits_for(o, server));
                return std::pair{f.rate(), f.delivered};
            });
            raw[r].push_back(rawSide.rate);
            lib[r].push_back(c.rate);
            ratio[r].push_back(c.rate / rawSide.rate);
            rawCpu[r].push_back(rawSide.cpuNs());
            libCpu[r].push_back(c.cpuNs());
            std::printf(
                "run %d  R=%3zu M=%8llu  raw %6.2f M/s  C interface %6.2f M/s  ratio %.2f  |  "
                "processor time per delivery: raw %4.0f ns (clients %4.0f, server %4.0f)  "
                "C interface %4.0f ns (clients %4.0f, server %4.0f)\n",
                run, r, static_cast<unsigned long long>(lines), rawSide.rate / 1e6, c.rate / 1e6,
                c.rate / rawSide.rate, rawSide.cpuNs(), rawSide.clientNs, rawSide.serverNs,
                c.cpuNs(), c.clientNs, c.serverNs);
            std::fflush(stdout);
        }
    }
    for (std::size_t r : o.rooms) {
        std::printf(
            "median of %d  R=%3zu  raw %6.2f M/s  C interface %6.2f M/s  ratio %.2f  |  "
            "processor time per delivery: raw %4.0f ns  C interface %4.0f ns\n",
            o.runs, r, median(raw[r]) / 1e6, median(lib[r]) / 1e6, median(ratio[r]),
            median(rawCpu[r]), median(libCpu[r]));
    }
}

void show_latency(int run, const char* who, const std::vector<double>& samples) {
    std::printf(
        "run %d  one line in flight, R=2, %zu lines, %-12s p50 %6.1f us  p90 %6.1f us  "
        "p99 %6.1f us  min %5.1f us\n",
        run, samples.size(), who, percentile(samples, 0.5), percentile(samples, 0.9),
        percentile(samples, 0.99), samples.front());
    std::fflush(stdout);
}

void latencies(const Options& o) {
    for (int run = 1; run <= o.runs; ++run) {
        if (!o.libraryOnly) {
            BenchServer server(o.binary, 12);
            show_latency(
                run, "raw:",
                raw_one_line_latency(server.port(), o.latencyLines, std::chrono::seconds(o.stall)));
        }
        {
            BenchServer server(o.binary, 12);
            show_latency(run, "C interface:",
                         c_one_line_latency(server.port(), o.latencyLines, limits_for(o, server)));
        }
        if (!o.libraryOnly) {
            BenchServer server(o.binary, 12);
            SplitLatency split = split_one_line_latency(server.port(), o.latencyLines / 2,
                                                        std::chrono::seconds(o.stall));
            show_latency(run, "raw to C:", split.rawToLibrary);
            show_latency(run, "C to raw:", split.libraryToRaw);
        }
    }
}

void scale(const Options& o) {
    raise_descriptor_limit();
    BenchServer server(o.binary, o.scale + 100);
    ScaleFigures f = c_scale(server.port(), o.scale, std::max<std::size_t>(o.roomSize, 1));
    auto show = [](const char* when, const ProcessFigures& p) {
        std::printf("scale: %-40s resident %7.1f MiB  threads %ld\n", when, p.residentKiB / 1024.0,
                    p.threads);
    };
    std::printf("scale: %zu clients in rooms of %zu, logins took %.2f s, freeing %.2f s\n", o.scale,
                o.roomSize, f.loginSeconds, f.freeSeconds);
    show("before the first client", f.before);
    show("all logged in, notices queued", f.loggedIn);
    show("all logged in, notices taken", f.drained);
    std::printf("scale: peak resident %.1f MiB\n", f.drained.peakResidentKiB / 1024.0);
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    CLI::App app{"Room fan-out through the C interface, many clients in one process"};
    app.add_option("--server", o.binary, "palaver-server binary")->capture_default_str();
    app.add_option("--members", o.rooms, "Room sizes R to measure")->capture_default_str();
    app.add_option("--deliveries", o.deliveries, "About how many deliveries per room size")
        ->capture_default_str();
    app.add_option("--lines", o.lines, "Lines each client sends (instead of --deliveries)");
    app.add_option("--runs", o.runs, "Runs, each with fresh servers")->check(CLI::Range(1, 100));
    app.add_option("--latency-lines", o.latencyLines, "Lines of the latency measure (0: none)")
        ->capture_default_str();
    app.add_option("--stall", o.stall, "Seconds without progress after which a run fails")
        ->check(CLI::Range(1, 600))
        ->capture_default_str();
    app.add_option("--scale", o.scale, "Measure this many idle clients in this process instead");
    app.add_option("--room-size", o.roomSize, "Clients per room with --scale")
        ->capture_default_str();
    app.add_flag("--library-only", o.libraryOnly,
                 "Leave out the raw clients (to profile the library alone)");
    app.add_flag("--line-sends", o.lineSends,
                 "Fan-out hosts send each line with palaver_send_talk, not a window at a time "
                 "with palaver_send_talks");
    CLI11_PARSE(app, argc, argv);
    std::printf("library %s\n", palaver_version());
    try {
        if (o.scale > 0) {
            scale(o);
            return 0;
        }
        o.rooms.erase(
            std::remove_if(o.rooms.begin(), o.rooms.end(), [](std::size_t r) { return r < 2; }),
            o.rooms.end());
        fanouts(o);
        if (o.latencyLines > 0) {
            latencies(o);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "c_fanout: %s\n", e.what());
        return 1;
    }
    return 0;
}
