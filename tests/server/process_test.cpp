// The palaver-server program itself: it prints its port and stops cleanly
// on SIGTERM, reads its files again on SIGHUP and answers palaver-server ctl.
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
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

TEST(ServerProcess, CtlListsAndKicksAndABanLastsAcrossARestart) {
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
        EXPECT_TRUE(stops_cleanly(server));
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
