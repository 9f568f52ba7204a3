// Login waits for its server on the host's thread, but never without end: a
// Logout on another thread calls it off at once, and connect and reply share
// one time limit. A broken send ends the connection like a broken stream.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <future>

#include "lib/connection/send.h"
#include "tests/faults/client_fixture.h"

namespace palaver::test {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A loopback listener that never answers; closed with the test.
class Listener {
  public:
    explicit Listener(int backlog) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof a;
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), length) != 0 ||
            ::listen(fd_, backlog) != 0 ||
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &length) != 0) {
            ADD_FAILURE() << "listener";
        }
        port_ = ntohs(a.sin_port);
    }
    ~Listener() {
        for (int fd : others_) {
            ::close(fd);
        }
        ::close(fd_);
    }
    int fd() const { return fd_; }
    std::uint16_t port() const { return port_; }
    // A connection that is not the module's, closed with the listener.
    int connect_another() {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port_);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        others_.push_back(fd);
        return fd;
    }
    // Whether `fd` finished connecting within `ms`.
    static bool connected_within(int fd, int ms) {
        pollfd p{fd, POLLOUT, 0};
        return ::poll(&p, 1, ms) == 1;
    }

  private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
    std::vector<int> others_;
};

struct Accepted {
    int fd;
    ~Accepted() { ::close(fd); }
};

std::future<int> login_async(std::uint16_t port) {
    EXPECT_EQ(chatComunicate::SetServerIPandPort("127.0.0.1", port), 1);
    return std::async(std::launch::async, [] {
        stUserInfo user = test::user(kOwnId, "me");
        return chatComunicate::Login(user, "secret");
    });
}

TEST_F(ClientFaults, LogoutCallsOffALoginWaitingForASilentServer) {
    timing().loginLimitMs = Timing::kLoginLimitMs;  // the real 10 s
    Listener server(4);
    auto login = login_async(server.port());
    // Once the request has arrived, Login is waiting for the reply.
    pollfd p{server.fd(), POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 5000), 1);
    Accepted peer{::accept(server.fd(), nullptr, nullptr)};
    std::uint8_t request[106];
    ASSERT_EQ(::recv(peer.fd, request, sizeof request, MSG_WAITALL), 106);

    auto start = Clock::now();
    chatComunicate::Logout();
    auto logoutTook = Clock::now() - start;
    ASSERT_EQ(login.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    auto loginTook = Clock::now() - start;
    EXPECT_EQ(login.get(), 0);
    EXPECT_LT(logoutTook, milliseconds(100));
    EXPECT_LT(loginTook, std::chrono::seconds(5));  // not the 10 s limit
    EXPECT_FALSE(chatComunicate::IsConnected());
}

TEST_F(ClientFaults, ALoginWhoseSynIsDroppedGivesUpAtItsLimit) {
    timing().loginLimitMs = 300;
    // A full accept queue: the listener drops every further SYN, as a
    // firewall or a host that is down would.
    Listener server(0);
    bool dropping = false;
    for (int i = 0; i < 4 && !dropping; ++i) {
        dropping = !Listener::connected_within(server.connect_another(), 300);
    }
    if (!dropping) {
        GTEST_SKIP() << "this kernel does not drop SYNs on a full accept queue";
    }
    auto start = Clock::now();
    auto login = login_async(server.port());
    ASSERT_EQ(login.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(login.get(), 0);
    EXPECT_GE(Clock::now() - start, milliseconds(300));
    EXPECT_FALSE(chatComunicate::IsConnected());
}

TEST_F(ClientFaults, ASendThatFailsEndsTheConnection) {
    log_in([](Peer& peer) { peer.reset(); });
    // Whichever sees the reset first, the receive thread or this send, the
    // connection ends and stays ended; a failed send never leaves it "connected".
    while (chatComunicate::IsConnected() && chatComunicate::SendTalk(7, "anyone?", false)) {
    }
    EXPECT_FALSE(chatComunicate::IsConnected());
    EXPECT_FALSE(chatComunicate::SendTalk(7, "anyone?", false));
}

TEST(ConnectionLost, AFailedSendAloneEndsIt) {
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    ::close(pair[1]);
    Connection c;
    c.socket.store(pair[0]);
    c.connected.store(true);
    const std::uint8_t byte = 0;
    EXPECT_FALSE(send_message(c, &byte, 1));
    EXPECT_FALSE(c.connected.load());
    EXPECT_TRUE(c.stop.load());
    ::close(pair[0]);
}

}  // namespace
}  // namespace palaver::test
