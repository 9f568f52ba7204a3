// Room fan-out through the library: H host processes, each with the library
// loaded and logged in to one palaver-server room, each sending M chat lines
// of 40 bytes with at most 256 of its own lines ahead of the slowest member
// (its own echo included), and each checking that every member's lines
// arrive exactly once and in order. The hosts publish their progress in
// shared memory; the window keeps every server queue far below the server's
// slow-reader limit, so only a connection that really stops moving fails.
//
// A run that makes no end within --limit seconds counts as stalled (the
// failure this benchmark watches for: a connection whose receive window
// sticks below one segment freezes the room). Reports each run's time and
// deliveries per second; exits non-zero when a run stalled or lost a line.
// Everything stays on 127.0.0.1 and ends by itself.
//
// Each run is made twice, on the plain listener and through the server's TLS
// listener, in alternating order; the end reports both medians and their
// ratio. --plain or --tls makes only the one.
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "Palaver.h"
#include "PalaverProfile.h"
#include "bench_server.h"
#include "tests/support/test_certs.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kWindow = 256;
constexpr std::size_t kTextSize = 40;

std::string line_text(std::size_t seq) {
    std::string text = std::to_string(seq);
    text.resize(kTextSize, '.');
    return text;
}

// One host, in its own process: 0 when every line arrived in order.
// Lines each host has received so far, from all senders: shared by the
// host processes.
using Progress = std::atomic<std::uint64_t>;

// What the slowest member has received of each sender's lines (all send
// alike, so its total divided by the members).
std::size_t slowest(const Progress* progress, std::size_t hosts) {
    std::uint64_t least = progress[0].load();
    for (std::size_t i = 1; i < hosts; ++i) {
        least = std::min<std::uint64_t>(least, progress[i].load());
    }
    return static_cast<std::size_t>(least / hosts);
}

int run_host(std::uint16_t port, const std::string& caFile, int index, std::size_t hosts,
             std::size_t lines, int ready, int go, Progress* progress) {
    if (chatComunicate::SetServerIPandPort("127.0.0.1", port) != 1 ||
        (!caFile.empty() && !chatComunicate::UseTls(true, caFile.c_str()))) {
        return 2;
    }
    stUserInfo me{};
    palaver::profile::set_name(me, "host" + std::to_string(index));
    if (chatComunicate::Login(me, "") != 1) {
        return 3;
    }
    // Everyone in the room before the first line.
    for (;;) {
        std::set<stUserInfo> users;
        chatComunicate::GetUserList(users);
        if (users.size() + 1 >= hosts) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::vector<stChatContent> drained;
    chatComunicate::GetTalk(drained);  // arrival notices
    char byte = 1;
    if (::write(ready, &byte, 1) != 1 || ::read(go, &byte, 1) != 1) {
        return 4;
    }
    const int self = me.userId;
    std::map<int, std::size_t> next;  // sender -> next sequence number
    std::size_t sent = 0, echoed = 0, received = 0;
    const std::size_t expected = hosts * lines;
    while (received < expected) {
        bool busy = false;
        const std::size_t behind = std::min(echoed, slowest(progress, hosts));
        while (sent < lines && sent - behind < kWindow) {
            if (!chatComunicate::SendTalk(-1, line_text(sent).c_str(), false)) {
                return 5;
            }
            ++sent;
            busy = true;
        }
        drained.clear();
        chatComunicate::GetTalk(drained);
        for (const stChatContent& l : drained) {
            if (l.sender < 0) {
                continue;  // a notice
            }
            if (l.text != line_text(next[l.sender]++)) {
                return 6;
            }
            ++received;
            echoed += l.sender == self ? 1 : 0;
            progress[index].store(received);
            busy = true;
        }
        if (!busy) {
            if (!chatComunicate::IsConnected()) {
                return 7;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
    }
    chatComunicate::Logout();
    return 0;
}

struct RunResult {
    bool finished = false;
    bool ok = false;
    double seconds = 0;
};

RunResult run_once(const std::string& binary, const palaver::test::TestCerts* certs,
                   std::size_t hosts, std::size_t lines, double limitSeconds) {
    std::vector<std::string> tls;
    if (certs != nullptr) {
        tls = {"--tls-listen",    "127.0.0.1:0", "--tls-cert",
               certs->serverCert, "--tls-key",   certs->serverKey};
    }
    palaver::bench::BenchServer server(binary, hosts + 10, tls);
    const std::uint16_t port = certs != nullptr ? server.tls_port() : server.port();
    const std::string caFile = certs != nullptr ? certs->ca : "";
    int readyPipe[2], goPipe[2];
    if (::pipe(readyPipe) != 0 || ::pipe(goPipe) != 0) {
        throw std::runtime_error("pipe");
    }
    void* shared = ::mmap(nullptr, hosts * sizeof(Progress), PROT_READ | PROT_WRITE,
                          MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (shared == MAP_FAILED) {
        throw std::runtime_error("mmap");
    }
    auto* progress = static_cast<Progress*>(shared);
    for (std::size_t i = 0; i < hosts; ++i) {
        new (&progress[i]) Progress(0);
    }
    std::vector<pid_t> children;
    for (std::size_t i = 0; i < hosts; ++i) {
        pid_t pid = ::fork();
        if (pid == 0) {
            ::close(readyPipe[0]);
            ::close(goPipe[1]);
            ::_exit(run_host(port, caFile, static_cast<int>(i), hosts, lines, readyPipe[1],
                             goPipe[0], progress));
        }
        children.push_back(pid);
    }
    ::close(readyPipe[1]);
    ::close(goPipe[0]);
    RunResult result;
    std::size_t ready = 0;
    char byte;
    pollfd readyPoll{readyPipe[0], POLLIN, 0};
    while (ready < hosts && ::poll(&readyPoll, 1, static_cast<int>(limitSeconds * 1000)) == 1 &&
           ::read(readyPipe[0], &byte, 1) == 1) {
        ++ready;
    }
    Clock::time_point start = Clock::now();
    if (ready == hosts) {
        std::string go(hosts, 'g');
        result.ok = ::write(goPipe[1], go.data(), go.size()) == static_cast<long>(go.size());
    }
    // Waits for every host, up to the limit; a stalled one is ended. Only
    // the hosts are waited for: the server is a child too.
    std::size_t ended = 0;
    const auto deadline = start + std::chrono::duration<double>(limitSeconds);
    while (ended < children.size() && Clock::now() < deadline) {
        for (pid_t& pid : children) {
            int status = 0;
            if (pid > 0 && ::waitpid(pid, &status, WNOHANG) == pid) {
                pid = -1;
                ++ended;
                result.ok = result.ok && WIFEXITED(status) && WEXITSTATUS(status) == 0;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    result.finished = ended == children.size();
    for (pid_t pid : children) {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }
    ::close(readyPipe[0]);
    ::close(goPipe[1]);
    ::munmap(shared, hosts * sizeof(Progress));
    return result;
}

struct Transport {
    const char* name;
    const palaver::test::TestCerts* certs;  // null: plain
    std::vector<double> rates;              // of the runs that ended well
    int failed = 0;
};

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

void summarise(const Transport& t) {
    if (t.rates.empty()) {
        std::printf("%-5s no run ended well\n", t.name);
        return;
    }
    auto [least, most] = std::minmax_element(t.rates.begin(), t.rates.end());
    std::printf("%-5s median %.2f M deliveries/s (%.2f to %.2f, %zu runs)\n", t.name,
                median(t.rates), *least, *most, t.rates.size());
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Room fan-out through the library, one host process each"};
    std::string binary = PALAVER_SERVER_BINARY;
    std::size_t hosts = 10, lines = 120000;
    int runs = 3;
    double limit = 60;
    app.add_option("--server", binary, "palaver-server binary");
    app.add_option("--hosts", hosts, "host processes in the room")->check(CLI::Range(2, 200));
    app.add_option("--lines", lines, "lines each host sends")->check(CLI::Range(1, 10000000));
    app.add_option("--runs", runs, "runs of each, each with a fresh server")
        ->check(CLI::Range(1, 1000));
    app.add_option("--limit", limit, "seconds after which a run counts as stalled");
    bool plainOnly = false, tlsOnly = false;
    auto* plainFlag = app.add_flag("--plain", plainOnly, "only on the plain listener");
    app.add_flag("--tls", tlsOnly, "only through TLS, with certificates made for the run")
        ->excludes(plainFlag);
    CLI11_PARSE(app, argc, argv);

    const palaver::test::TestCerts* certs = plainOnly ? nullptr : &palaver::test::test_certs();
    std::vector<Transport> transports;
    if (!tlsOnly) {
        transports.push_back({"plain", nullptr, {}});
    }
    if (!plainOnly) {
        transports.push_back({"TLS", certs, {}});
    }

    const double deliveries = static_cast<double>(hosts * (hosts - 1) * lines);
    for (int run = 1; run <= runs; ++run) {
        // Alternating which goes first spreads slow drifts of the machine's
        // other load over both.
        for (std::size_t i = 0; i < transports.size(); ++i) {
            Transport& t = transports[(i + static_cast<std::size_t>(run) + 1) % transports.size()];
            RunResult r = run_once(binary, t.certs, hosts, lines, limit);
            const bool good = r.finished && r.ok;
            std::printf("run %d %-5s %s %.2f s, %.2f M deliveries/s\n", run, t.name,
                        !r.finished ? "STALLED after" : (r.ok ? "ok" : "LOST LINES in"), r.seconds,
                        r.finished ? deliveries / r.seconds / 1e6 : 0.0);
            std::fflush(stdout);
            if (good) {
                t.rates.push_back(deliveries / r.seconds / 1e6);
            } else {
                ++t.failed;
            }
        }
    }
    int failed = 0;
    for (const Transport& t : transports) {
        summarise(t);
        failed += t.failed;
    }
    if (transports.size() == 2 && !transports[0].rates.empty() && !transports[1].rates.empty()) {
        std::printf("TLS/plain %.2f (of the medians)\n",
                    median(transports[1].rates) / median(transports[0].rates));
    }
    std::printf("%d of %d runs failed\n", failed, runs * static_cast<int>(transports.size()));
    return failed == 0 ? 0 : 1;
}
