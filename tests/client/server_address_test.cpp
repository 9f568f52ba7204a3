// SetServerIPandPort: what it stores shows in where the next Login connects.
#include <cerrno>

#include "client_test.h"
#include "lib/connection/server_connect.h"
#include "lib/platform/socket.h"

namespace palaver::test {
namespace {

using chatComunicate::Login;
using chatComunicate::SetServerIPandPort;

class ServerAddressTest : public ClientTest {
  protected:
    // Logs in and out against the fake server: the stored address leads there.
    void expect_login_reaches_server() {
        stUserInfo host = host_user();
        EXPECT_EQ(login_replying(login_reply(0), host), 1);
        chatComunicate::Logout();
    }
};

TEST_F(ServerAddressTest, ADottedAddressOrAHostNameLeadsToTheServer) {
    ASSERT_EQ(SetServerIPandPort("127.0.0.1", server.port()), 1);
    expect_login_reaches_server();
    ASSERT_EQ(SetServerIPandPort("localhost", server.port()), 1);
    expect_login_reaches_server();
}

TEST_F(ServerAddressTest, OnlyTheLow16BitsOfThePortCount) {
    ASSERT_EQ(SetServerIPandPort("127.0.0.1", server.port() + 0x10000), 1);
    expect_login_reaches_server();
}

TEST_F(ServerAddressTest, ANullAddressChangesNothing) {
    platform::set_last_error(EDOM);
    EXPECT_EQ(SetServerIPandPort(nullptr, 1), 0);
    EXPECT_EQ(platform::last_error(), EDOM);
    expect_login_reaches_server();
}

TEST_F(ServerAddressTest, AnUnknownNameFailsWithInvalidArgumentAndLoginThenFails) {
    platform::set_last_error(0);
    EXPECT_EQ(SetServerIPandPort("no-such-host.invalid", server.port()), 0);
    EXPECT_EQ(platform::last_error(), platform::invalid_argument_code());  // EINVAL, WSAEINVAL
    stUserInfo host = host_user();
    EXPECT_EQ(Login(host, "secret"), 0);
    EXPECT_FALSE(server.accept(0ms));
}

TEST_F(ServerAddressTest, TheAllOnesAddressIsLookedUpLikeAName) {
    // inet_addr cannot tell it from a failure; the name lookup still knows it.
    EXPECT_EQ(SetServerIPandPort("255.255.255.255", server.port()), 1);
    stUserInfo host = host_user();
    EXPECT_EQ(Login(host, "secret"), 0);
}

TEST(ServerConnect, EachAddressIsTriedInTurnUntilOneTakesTheConnection) {
    FakeServer live;
    std::uint16_t closedPort = 0;
    {
        FakeServer gone;
        closedPort = gone.port();
    }
    const std::uint32_t loopback = platform::parse_dotted("127.0.0.1");
    std::vector<platform::Endpoint> addresses;
    platform::Endpoint ipv6;
    if (platform::resolve_any("::1", closedPort, ipv6)) {
        addresses.push_back(ipv6);  // refused, or no IPv6 at all: the next is tried
    }
    addresses.push_back(platform::ipv4_endpoint(loopback, closedPort));
    addresses.push_back(platform::ipv4_endpoint(loopback, live.port()));
    Connection connection;
    const LoginLimit limit(connection, connection.logouts.load());
    PendingSocket socket;
    ASSERT_TRUE(connect_first(addresses, socket, limit));
    EXPECT_TRUE(live.accept());
    EXPECT_FALSE(limit.over());
}

}  // namespace
}  // namespace palaver::test
