// The host-driven client of the C interface against the threaded client and
// raw clients, many clients in this one process, against a palaver-server
// process on loopback.
//
//   latency  One-way latency with one line in flight in rooms of R (2 and
//            50): raw clients on one thread (the floor), threaded clients
//            with a host thread each, and host-driven clients driven three
//            ways (a thread each in poll(), one thread in palaver_poller_wait,
//            one thread in the host's own epoll), in alternating rounds.
//   fanout   Room fan-out with one palaver_send_talk per line and a window of
//            256 lines: threaded clients against host-driven ones with a
//            thread each, alternating.
//   scale    N host-driven clients logged in from one thread that drives
//            them all with a palaver_poller (or its own epoll): memory, login
//            time, and one line in every room delivered to every client.
//
// Everything stays on 127.0.0.1 and ends by itself: a run without progress
// for --stall seconds fails.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench_server.h"
#include "c_room.h"
#include "descriptor_limit.h"
#include "driven_scale.h"
#include "fanout_side.h"
#include "palaver_c.h"
#include "room_latency.h"
#include "run_figures.h"

namespace {

using namespace palaver::bench;

struct Options {
    std::string binary = PALAVER_SERVER_BINARY;
    int stall = 10;
    int rounds = 5;
    // latency
    std::vector<std::size_t> latencyRooms{2, 50};
    std::size_t latencyDeliveries = 20000;
    std::vector<std::string> kinds{"raw", "threaded", "driven-threads", "driven-poller",
                                   "driven-epoll"};
    // fanout
    std::vector<std::size_t> fanoutRooms{2, 10, 50};
    std::uint64_t deliveries = 2000000;
    std::string only;  // "threaded" or "host-driven": that side alone
    // scale
    std::size_t clients = 10000;
    std::size_t roomSize = 100;
    std::string loop = "poller";
    std::size_t lineRounds = 9;
};

Limits limits_for(const Options& o, BenchServer& server) {
    return Limits{std::chrono::seconds(o.stall), [&server] { server.stop(); }};
}

struct KindFigures {
    std::vector<double> p50, p99, room50;
};

void latency(const Options& o) {
    std::vector<LatencyKind> kinds;
    for (const auto& name : o.kinds) {
        kinds.push_back(kind_named(name));
    }
    std::map<std::size_t, std::map<LatencyKind, KindFigures>> all;
    for (int round = 1; round <= o.rounds; ++round) {
        for (std::size_t r : o.latencyRooms) {
            std::size_t lines = std::max<std::size_t>(200, o.latencyDeliveries / (r - 1));
            for (LatencyKind kind : kinds) {
                BenchServer server(o.binary, r + 10);
                LatencyFigures f =
                    room_latency(kind, server.port(), r, lines, limits_for(o, server));
                KindFigures& k = all[r][kind];
                k.p50.push_back(percentile(f.deliveries, 0.5));
                k.p99.push_back(percentile(f.deliveries, 0.99));
                k.room50.push_back(percentile(f.wholeRoom, 0.5));
                std::printf(
                    "round %d  R=%3zu  %-15s %6zu deliveries  p50 %7.1f us  p90 %7.1f us  "
                    "p99 %7.1f us  whole room p50 %7.1f us\n",
                    round, r, kind_name(kind), f.deliveries.size(), k.p50.back(),
                    percentile(f.deliveries, 0.9), k.p99.back(), k.room50.back());
                std::fflush(stdout);
            }
        }
    }
    for (std::size_t r : o.latencyRooms) {
        for (LatencyKind kind : kinds) {
            const KindFigures& k = all[r][kind];
            std::printf(
                "median of %d rounds  R=%3zu  %-15s p50 %7.1f us  p99 %7.1f us  "
                "whole room p50 %7.1f us\n",
                o.rounds, r, kind_name(kind), median(k.p50), median(k.p99), median(k.room50));
        }
    }
}

void fanout(const Options& o) {
    std::map<std::size_t, std::vector<double>> threaded, driven, ratio, threadedCpu, drivenCpu;
    for (int run = 1; run <= o.rounds; ++run) {
        for (std::size_t r : o.fanoutRooms) {
            std::uint64_t lines = std::max<std::uint64_t>(1000, o.deliveries / (r * (r - 1)));
            auto side = [&](ClientKind kind) {
                return measure_side(o.binary, r, [&](BenchServer& server) {
                    FanoutFigures f = c_room_fanout(server.port(), r, lines, SendMode::EachLine,
                                                    kind, limits_for(o, server));
                    return std::pair{f.rate(), f.delivered};
                });
            };
            // Each goes first in every other run: drifting load falls on both.
            Side t{std::nan(""), 0, 0}, d{std::nan(""), 0, 0};
            if (o.only == "host-driven") {
                d = side(ClientKind::HostDriven);
            } else if (o.only == "threaded") {
                t = side(ClientKind::Threaded);
            } else if (run % 2 == 1) {
                t = side(ClientKind::Threaded);
                d = side(ClientKind::HostDriven);
            } else {
                d = side(ClientKind::HostDriven);
                t = side(ClientKind::Threaded);
            }
            threaded[r].push_back(t.rate);
            driven[r].push_back(d.rate);
            ratio[r].push_back(d.rate / t.rate);
            threadedCpu[r].push_back(t.cpuNs());
            drivenCpu[r].push_back(d.cpuNs());
            std::printf(
                "run %d  R=%3zu M=%8llu  threaded %6.2f M/s  host-driven %6.2f M/s  ratio %.2f  |  "
                "processor time per delivery: threaded %4.0f ns (clients %4.0f, server %4.0f)  "
                "host-driven %4.0f ns (clients %4.0f, server %4.0f)\n",
                run, r, static_cast<unsigned long long>(lines), t.rate / 1e6, d.rate / 1e6,
                d.rate / t.rate, t.cpuNs(), t.clientNs, t.serverNs, d.cpuNs(), d.clientNs,
                d.serverNs);
            std::fflush(stdout);
        }
    }
    for (std::size_t r : o.fanoutRooms) {
        std::printf(
            "median of %d  R=%3zu  threaded %6.2f M/s  host-driven %6.2f M/s  ratio %.2f  |  "
            "processor time per delivery: threaded %4.0f ns  host-driven %4.0f ns\n",
            o.rounds, r, median(threaded[r]) / 1e6, median(driven[r]) / 1e6, median(ratio[r]),
            median(threadedCpu[r]), median(drivenCpu[r]));
    }
}

void scale(const Options& o) {
    raise_descriptor_limit();
    BenchServer server(o.binary, o.clients + 100);
    LoopKind loop = o.loop == "epoll" ? LoopKind::Epoll : LoopKind::Poller;
    DrivenScaleFigures f =
        driven_scale(server.port(), o.clients, std::max<std::size_t>(o.roomSize, 1), o.lineRounds,
                     loop, std::chrono::seconds(o.stall));
    auto show = [](const char* when, const ProcessFigures& p) {
        std::printf("scale: %-42s VmRSS %7.1f MiB  VmHWM %7.1f MiB  threads %ld\n", when,
                    p.residentKiB / 1024.0, p.peakResidentKiB / 1024.0, p.threads);
    };
    std::printf("scale: %zu host-driven clients on one thread (%s), %zu rooms of up to %zu\n",
                o.clients, o.loop == "epoll" ? "its own epoll" : "palaver_poller", f.rooms,
                o.roomSize);
    std::printf(
        "scale: logins one after the other %.2f s (%.2f ms each), rooms known %.2f s later\n",
        f.loginSeconds, f.loginSeconds * 1e3 / static_cast<double>(o.clients), f.settleSeconds);
    std::vector<double> ms;
    for (double seconds : f.lineSeconds) {
        ms.push_back(seconds * 1e3);
    }
    std::sort(ms.begin(), ms.end());
    std::printf(
        "scale: one line in each room, all %zu clients took theirs in %.1f ms "
        "(median of %zu rounds, %.1f to %.1f)\n",
        o.clients, median(ms), ms.size(), ms.front(), ms.back());
    show("before the first client", f.before);
    show("all logged in, rooms known", f.loggedIn);
    show("after the lines", f.afterLine);
    auto [resident, peak] = server.memory();
    std::printf("scale: the server: VmRSS %.1f MiB  VmHWM %.1f MiB\n", resident / 1024.0,
                peak / 1024.0);
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    CLI::App app{"The host-driven C client against the threaded client and raw clients"};
    app.require_subcommand(1);
    app.add_option("--server", o.binary, "palaver-server binary")->capture_default_str();
    app.add_option("--stall", o.stall, "Seconds without progress after which a run fails")
        ->check(CLI::Range(1, 600))
        ->capture_default_str();

    CLI::App* lat = app.add_subcommand("latency", "One-way latency, one line in flight");
    lat->add_option("--members", o.latencyRooms, "Room sizes R")->capture_default_str();
    lat->add_option("--deliveries", o.latencyDeliveries, "About how many deliveries per run")
        ->capture_default_str();
    lat->add_option("--kinds", o.kinds, "Kinds, in the order each round runs them")
        ->capture_default_str();
    lat->add_option("--rounds", o.rounds, "Rounds, each kind once per round, fresh servers")
        ->check(CLI::Range(1, 100))
        ->capture_default_str();

    CLI::App* fan = app.add_subcommand("fanout", "Room fan-out, one send per line");
    fan->add_option("--members", o.fanoutRooms, "Room sizes R")->capture_default_str();
    fan->add_option("--deliveries", o.deliveries, "About how many deliveries per room size")
        ->capture_default_str();
    fan->add_option("--only", o.only, "One side alone, to profile it")
        ->check(CLI::IsMember({"threaded", "host-driven"}));
    fan->add_option("--runs", o.rounds, "Runs, each with both kinds and fresh servers")
        ->check(CLI::Range(1, 100))
        ->capture_default_str();

    CLI::App* sc = app.add_subcommand("scale", "Many host-driven clients on one thread");
    sc->add_option("--clients", o.clients, "Clients")->capture_default_str();
    sc->add_option("--room-size", o.roomSize, "Clients per room")->capture_default_str();
    sc->add_option("--loop", o.loop, "palaver_poller, or the host's own epoll")
        ->check(CLI::IsMember({"poller", "epoll"}))
        ->capture_default_str();
    sc->add_option("--line-rounds", o.lineRounds, "Rounds of one line in each room")
        ->check(CLI::Range(1, 100000))
        ->capture_default_str();
    CLI11_PARSE(app, argc, argv);

    std::printf("library %s\n", palaver_version());
    try {
        if (lat->parsed()) {
            auto small = [](std::size_t r) { return r < 2; };
            o.latencyRooms.erase(
                std::remove_if(o.latencyRooms.begin(), o.latencyRooms.end(), small),
                o.latencyRooms.end());
            latency(o);
        } else if (fan->parsed()) {
            o.fanoutRooms.erase(std::remove_if(o.fanoutRooms.begin(), o.fanoutRooms.end(),
                                               [](std::size_t r) { return r < 2; }),
                                o.fanoutRooms.end());
            fanout(o);
        } else {
            scale(o);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "c_driven: %s\n", e.what());
        return 1;
    }
    return 0;
}
