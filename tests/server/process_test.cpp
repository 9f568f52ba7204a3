// The palaver-server program itself: it prints its port, drains on SIGTERM,
// stops at once on SIGINT, serves /metrics to a real HTTP client, reads its
// files again on SIGHUP and answers palaver-server ctl.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "proc_stats.h"
#include "protocol/client_messages.h"
#include "server_harness.h"
#include "server_process.h"
#include "tls_client.h"

namespace palaver::test {
namespace {

std::uint16_t port_in(const std::string& line) {
    return static_cast<std::uint16_t>(std::stoi(line.substr(line.rfind(':') + 1)));
}

// SIGTERM, then whether it ended by itself with status 0.
bool stops_cleanly(ChildProcess& server) {
    server.signal(SIGTERM);
    return server.wait_exit() == 0;
}

TEST(ServerProcess, PrintsItsPortAndStopsOnSigterm) {
    ChildProcess server({PALAVER_SERVER_BINARY, "--listen", "127.0.0.1:0", "--log-level", "error"});
    ASSERT_TRUE(server.wait_for("listening")) << server.transcript();
    std::string line = server.line_with("listening");
    ASSERT_EQ(line.rfind("palaver-server listening on 127.0.0.1:", 0), 0u) << line;

    RawClient client(port_in(line));
    EXPECT_EQ(client.login("alice"), 1);
    EXPECT_TRUE(stops_cleanly(server));
    EXPECT_TRUE(client.closed_within());
}

TEST(ServerProcess, PrintsItsTlsPortWithListenNone) {
    const auto& certs = test_certs();
    ChildProcess server({PALAVER_SERVER_BINARY, "--listen", "none", "--tls-listen", "127.0.0.1:0",
                         "--tls-cert", certs.serverCert, "--tls-key", certs.serverKey,
                         "--log-level", "error"});
    ASSERT_TRUE(server.wait_for("listening")) << server.transcript();
    std::string line = server.line_with("listening");
    ASSERT_EQ(line.rfind("palaver-server listening for TLS on 127.0.0.1:", 0), 0u) << line;

    TlsClient client(port_in(line));
    ASSERT_TRUE(client.handshake()) << client.error();
    EXPECT_EQ(client.login("alice"), 1);
    EXPECT_TRUE(stops_cleanly(server));
    EXPECT_TRUE(client.closed_within());
}

// "palaver-server hash" makes an entry the server takes; the server warns
// at start about the plain entry and a file every user may read.
TEST(ServerProcess, TakesHashedEntriesAndWarnsAboutPlainOnesAndAnOpenFile) {
    ChildProcess hasher({PALAVER_SERVER_BINARY, "hash"});
    hasher.write_line("s3cret");
    hasher.close_input();
    ASSERT_TRUE(hasher.wait_for("$argon2id$")) << hasher.transcript();
    std::string entry = hasher.line_with("$argon2id$");
    EXPECT_EQ(hasher.wait_exit(), 0);

    std::string path = ::testing::TempDir() + "palaver-accounts-" + std::to_string(::getpid());
    std::FILE* file = std::fopen(path.c_str(), "w");
    ASSERT_NE(file, nullptr);
    std::fprintf(file, "boss %s admin\nalice pw\n", entry.c_str());
    std::fclose(file);
    ::chmod(path.c_str(), 0644);
    ChildProcess server({PALAVER_SERVER_BINARY, "--listen", "127.0.0.1:0", "--accounts", path,
                         "--log-level", "warn"},
                        ChildProcess::Log::OutputAndErrors);
    std::uint16_t port = server.port_after("listening");
    ASSERT_NE(port, 0) << server.transcript();
    EXPECT_TRUE(server.wait_for("1 of 2 accounts")) << server.transcript();
    EXPECT_TRUE(server.wait_for("may be read by every user")) << server.transcript();
    RawClient boss(port), guess(port);
    EXPECT_EQ(boss.login("boss", 1, "s3cret"), 1);
    EXPECT_EQ(guess.login("boss", 1, entry.substr(0, 20)), -3);
    EXPECT_TRUE(stops_cleanly(server));
    std::remove(path.c_str());
}

// Python's urllib fetches the URL; the body must be Prometheus text (0.0.4)
// to the last line: comments, and samples whose family has a TYPE line
// before them, counters named *_total. Prints each sample as "name{labels}
// value"; exits non-zero on the first line that breaks the format.
constexpr const char* kScrape = R"(
import re, sys, urllib.request
with urllib.request.urlopen(sys.argv[1], timeout=20) as reply:
    assert reply.status == 200, reply.status
    kind = reply.headers['Content-Type']
    assert kind == 'text/plain; version=0.0.4; charset=utf-8', kind
    body = reply.read().decode('utf-8')
assert body.endswith('\n')
name = r'[a-zA-Z_:][a-zA-Z0-9_:]*'
label = r'[a-zA-Z_][a-zA-Z0-9_]*="(?:[^"\\\n]|\\.)*"'
sample = re.compile(r'(%s)(\{%s(?:,%s)*\})? (\S+)' % (name, label, label))
types = {}
for line in body.splitlines():
    comment = re.fullmatch(r'# (HELP|TYPE) (%s) (.+)' % name, line)
    if comment:
        if comment[1] == 'TYPE':
            assert comment[3] in ('counter', 'gauge') and comment[2] not in types, line
            types[comment[2]] = comment[3]
        continue
    m = sample.fullmatch(line)
    assert m and m[1] in types, 'not a sample of a typed family: %r' % line
    assert (types[m[1]] == 'counter') == m[1].endswith('_total'), line
    float(m[3])
    print(m[1] + (m[2] or ''), m[3])
)";

std::map<std::string, double> scrape(std::uint16_t port) {
    ChildProcess python(
        {"python3", "-c", kScrape, "http://127.0.0.1:" + std::to_string(port) + "/metrics"});
    std::map<std::string, double> samples;
    if (python.wait_exit() != 0) {
        ADD_FAILURE() << "the scrape failed:\n" << python.transcript();
        return samples;
    }
    std::istringstream lines(python.transcript());
    std::string key;
    double value = 0;
    while (lines >> key >> value) {
        samples[key] = value;
    }
    return samples;
}

TEST(ServerProcess, ServesMetricsWhoseCountersMoveWithTheTraffic) {
    ServerProcess server(PALAVER_SERVER_BINARY,
                         {"--log-level", "error", "--metrics-listen", "127.0.0.1:0"});
    ASSERT_NE(server.port(), 0) << server.transcript();
    std::uint16_t metricsPort = server.port_after("palaver-server metrics on 127.0.0.1:");
    ASSERT_NE(metricsPort, 0) << server.transcript();
    auto before = scrape(metricsPort);

    RawClient alice(server.port()), bob(server.port()), nameless(server.port());
    ASSERT_EQ(alice.login("alice"), 1);
    ASSERT_EQ(bob.login("bob"), 1);
    ASSERT_EQ(nameless.login(""), -2);
    ASSERT_TRUE(nameless.closed_within());
    alice.talk(0, "hello");
    ASSERT_TRUE(alice.next_of(kTalk));
    ASSERT_TRUE(bob.next_of(kTalk));

    auto after = scrape(metricsPort);
    auto moved = [&](const std::string& key) { return after[key] - before[key]; };
    EXPECT_EQ(moved("palaver_connections_accepted_total{listener=\"plain\"}"), 3);
    EXPECT_EQ(moved("palaver_logins_total"), 2);
    EXPECT_EQ(moved("palaver_login_refusals_total{reason=\"malformed\"}"), 1);
    EXPECT_EQ(moved("palaver_session_closes_total{reason=\"login_refused\"}"), 1);
    EXPECT_EQ(moved("palaver_messages_received_total{type=\"login\"}"), 3);
    EXPECT_EQ(moved("palaver_messages_received_total{type=\"talk\"}"), 1);
    // Alice's line reaches both, her own echo included; bob's entry reaches alice.
    EXPECT_EQ(moved("palaver_deliveries_total{type=\"talk\"}"), 2);
    EXPECT_EQ(moved("palaver_deliveries_total{type=\"user_entered\"}"), 1);
    EXPECT_EQ(moved("palaver_deliveries_total{type=\"login_reply\"}"), 3);
    EXPECT_EQ(after["palaver_users"], 2);
    EXPECT_EQ(after["palaver_rooms"], 1);
    EXPECT_EQ(after["palaver_connections_open{listener=\"plain\"}"], 2);
    EXPECT_TRUE(stops_cleanly(server));
}

// Enough lines of `size` bytes that `queued` of them stay in the server's
// own queue for a client that does not read, beyond what the kernel's send
// buffer can hold (tcp_wmem's maximum) and the client's small receive buffer.
int lines_to_queue(int queued, std::size_t size) {
    std::ifstream wmem("/proc/sys/net/ipv4/tcp_wmem");
    std::size_t least = 0, initial = 0, most = std::size_t{4} << 20;
    wmem >> least >> initial >> most;
    return queued + static_cast<int>((most + 65536) / size) + 1;
}

// Lines queued for a client that has stopped reading: SIGTERM delivers every
// one of them before the connection closes, and SIGINT stops at once without
// them.
TEST(ServerProcess, SigtermDeliversWhatIsQueuedAndSigintDoesNot) {
    constexpr int kQueued = 10000;
    const std::string padding(270, '.');
    const int lines = lines_to_queue(kQueued, padding.size());
    for (int signal : {SIGINT, SIGTERM}) {
        // Nothing but the signal may end the reader or slow the sender.
        ChildProcess server({PALAVER_SERVER_BINARY, "--listen", "127.0.0.1:0", "--request-rate",
                             "0", "--queue-limit", "1073741824", "--write-timeout", "600",
                             "--idle-timeout", "600", "--drain-timeout", "600"},
                            ChildProcess::Log::OutputAndErrors);
        std::uint16_t port = server.port_after("palaver-server listening on");
        ASSERT_NE(port, 0) << server.transcript();
        RawClient reader(port, 0x7F000001, 4096), sender(port);
        ASSERT_EQ(reader.login("reader"), 1);
        ASSERT_EQ(sender.login("sender"), 1);
        for (int i = 0; i < lines; ++i) {
            sender.talk(-1, std::to_string(i) + padding);
        }
        // Once the last of its own lines is back, all are queued for the reader.
        for (int i = 0; i < lines; ++i) {
            ASSERT_TRUE(sender.next_of(kTalk, 30s)) << i;
        }
        server.signal(signal);
        if (signal == SIGINT) {
            EXPECT_EQ(server.wait_exit(), 0) << "with the reader's queue unread";
        } else {
            ASSERT_TRUE(server.wait_for("draining 2 connections")) << server.transcript();
            // More than one read of the server takes: what is left unread
            // must not make the close a reset that loses the last lines.
            auto keepAlive = encode_keep_alive(reader.key());
            std::vector<std::uint8_t> many;
            for (int i = 0; i < 3000; ++i) {
                many.insert(many.end(), keepAlive.begin(), keepAlive.end());
            }
            reader.send(many);
        }
        int received = 0;
        while (auto m = reader.next(30s)) {
            if (m->type == kTalk) {
                auto t = decode_talk(m->frame());
                ASSERT_TRUE(t);
                ASSERT_EQ(std::string(t->text, t->textLength), std::to_string(received) + padding);
                ++received;
            }
        }
        if (signal == SIGINT) {
            EXPECT_LE(received, lines - kQueued) << "the server held " << kQueued << " of them";
            continue;
        }
        EXPECT_EQ(received, lines);
        EXPECT_TRUE(reader.closed_within()) << "closed, not timed out";
        reader.drop();
        sender.drop();
        EXPECT_EQ(server.wait_exit(), 0) << server.transcript();
    }
}

// Files in the test's temporary folder, removed at the end.
struct TempFiles {
    std::string path(const std::string& name) {
        made.push_back(::testing::TempDir() + "palaver-" + name + "-" + std::to_string(::getpid()));
        return made.back();
    }
    ~TempFiles() {
        for (const std::string& file : made) {
            std::remove(file.c_str());
        }
    }
    std::vector<std::string> made;
};

TEST(ServerProcess, CtlListsKicksAndDrainsAndABanLastsAcrossARestart) {
    TempFiles files;
    std::string accounts = files.path("accounts"), bans = files.path("bans"),
                control = files.path("ctl");
    std::ofstream(accounts) << "alice pw\nbob pw\n";
    std::vector<std::string> args{"--log-level", "error", "--accounts", accounts,
                                  "--bans",      bans,    "--control",  control};
    {
        ServerProcess server(PALAVER_SERVER_BINARY, args);
        ASSERT_NE(server.port(), 0);
        RawClient alice(server.port()), bob(server.port());
        ASSERT_EQ(alice.login("alice", 1, "pw"), 1);
        ASSERT_EQ(bob.login("bob", 1, "pw"), 1);
        auto rooms = run_ctl(PALAVER_SERVER_BINARY, control, {"rooms"});
        EXPECT_EQ(rooms.status, 0);
        EXPECT_EQ(rooms.output, "00000001 2\n");
        auto users = run_ctl(PALAVER_SERVER_BINARY, control, {"users", "1"});
        EXPECT_NE(users.output.find(std::to_string(bob.id()) + " \"bob\" 00000001 127.0.0.1:"),
                  std::string::npos)
            << users.output;
        auto kick = run_ctl(PALAVER_SERVER_BINARY, control, {"kick", "bob", "10"});
        EXPECT_EQ(kick.status, 0) << kick.output;
        EXPECT_TRUE(bob.closed_within());
        EXPECT_NE(run_ctl(PALAVER_SERVER_BINARY, control, {"kick"}).status, 0);
        auto drain = run_ctl(PALAVER_SERVER_BINARY, control, {"drain"});
        EXPECT_EQ(drain.status, 0) << drain.output;
        EXPECT_TRUE(alice.closed_within());
        EXPECT_EQ(server.wait_exit(), 0) << "ctl drain stops the server";
    }
    ServerProcess again(PALAVER_SERVER_BINARY, args);
    ASSERT_NE(again.port(), 0) << "a fresh start replaces the socket file";
    RawClient bob(again.port());
    EXPECT_EQ(bob.login("bob", 1, "pw"), -5);
    EXPECT_NE(run_ctl(PALAVER_SERVER_BINARY, control, {"bans"}).output.find("\"bob\" until "),
              std::string::npos);
}

TEST(ServerProcess, SighupDropsRemovedAccountsAndKeepsABrokenFile) {
    TempFiles files;
    std::string accounts = files.path("accounts");
    std::ofstream(accounts) << "alice pw\nbob pw\n";
    ChildProcess server({PALAVER_SERVER_BINARY, "--listen", "127.0.0.1:0", "--accounts", accounts},
                        ChildProcess::Log::OutputAndErrors);
    std::uint16_t port = server.port_after("palaver-server listening on ");
    ASSERT_NE(port, 0) << server.transcript();
    RawClient alice(port), bob(port);
    ASSERT_EQ(alice.login("alice", 1, "pw"), 1);
    ASSERT_EQ(bob.login("bob", 1, "pw"), 1);

    std::ofstream(accounts) << "alice pw\ncarol pw\n";
    server.signal(SIGHUP);
    EXPECT_TRUE(bob.closed_within());
    EXPECT_TRUE(server.wait_for("reload: accounts: 2 from")) << server.transcript();

    std::ofstream(accounts) << "alice pw\ndave\n";
    server.signal(SIGHUP);
    EXPECT_TRUE(server.wait_for("kept the accounts in force: " + accounts + ", line 2"))
        << server.transcript();
    RawClient carol(port), dave(port);
    EXPECT_EQ(carol.login("carol", 1, "pw"), 1) << "the accounts before the broken file";
    EXPECT_EQ(dave.login("dave", 1, "pw"), -3);
    alice.talk(0, "still here");
    EXPECT_TRUE(alice.next_of(kTalk));
    EXPECT_TRUE(stops_cleanly(server));
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define PALAVER_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define PALAVER_SANITIZED 1
#endif
#endif
#ifdef PALAVER_SANITIZED
// A sanitizer's allocator keeps freed memory back (AddressSanitizer's
// quarantine) or shadows it (ThreadSanitizer), and is slow: the memory is
// measured in the plain builds, the rest with the smaller limit only.
constexpr bool kPlainBuild = false;
#else
constexpr bool kPlainBuild = true;
#endif

// Twenty clients, each alone in a room, never read and ask for their room
// list as fast as they can: each is cut off once its queue holds its limit,
// and the server's memory grows by little more than those limits.
TEST(ServerProcess, ClientsThatNeverReadCostNoMoreThanTheirQueueLimit) {
    constexpr int kClients = 20;
    for (std::size_t limit : {std::size_t{65536}, std::size_t{1} << 20}) {
        if (!kPlainBuild && limit > 65536) {
            break;
        }
        // Twenty clients from loopback: more than one address may hold.
        ServerProcess server(PALAVER_SERVER_BINARY,
                             {"--log-level", "error", "--request-rate", "0", "--max-per-address",
                              "0", "--queue-limit", std::to_string(limit)});
        ASSERT_NE(server.port(), 0);
        const std::size_t fds = server.open_descriptors();
        std::vector<std::unique_ptr<RawClient>> clients;
        for (int i = 0; i < kClients; ++i) {
            clients.push_back(std::make_unique<RawClient>(server.port()));
            ASSERT_EQ(clients.back()->login("r" + std::to_string(i), 100 + i), 1);
        }
        const long before = memory_of(server.pid()).residentKib;

        std::vector<std::thread> floods;
        std::vector<int> cutOff(kClients, 0);
        for (int i = 0; i < kClients; ++i) {
            floods.emplace_back([&, i] {
                RawClient& c = *clients[i];
                auto one = encode_room_list_request(c.key());
                std::vector<std::uint8_t> batch;
                for (int n = 0; n < 1000; ++n) {
                    batch.insert(batch.end(), one.begin(), one.end());
                }
                auto end = std::chrono::steady_clock::now() + 60s;
                while (std::chrono::steady_clock::now() < end) {
                    if (!c.send(batch)) {
                        cutOff[i] = 1;
                        return;
                    }
                }
            });
        }
        for (auto& t : floods) {
            t.join();
        }
        const long grown = memory_of(server.pid()).peakResidentKib - before;
        EXPECT_EQ(std::count(cutOff.begin(), cutOff.end(), 1), kClients) << "limit " << limit;
        if (kPlainBuild) {
            EXPECT_LT(grown, static_cast<long>((kClients * 2 * limit + (16 << 20)) / 1024))
                << "limit " << limit;
        }
        clients.clear();
        EXPECT_TRUE(eventually([&] { return server.open_descriptors() == fds; })) << limit;
    }
}

}  // namespace
}  // namespace palaver::test
