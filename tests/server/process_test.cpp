// The palaver-server program itself: it prints its port and stops cleanly
// on SIGTERM.
#include <signal.h>

#include <gtest/gtest.h>

#include <string>

#include "child_process.h"
#include "server_harness.h"
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

}  // namespace
}  // namespace palaver::test
