// The palaver-server program itself: it prints its port and stops cleanly
// on SIGTERM.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
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
