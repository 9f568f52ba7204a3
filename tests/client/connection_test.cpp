// The life of a connection: KeepAlive, Logout in every state, logging in
// again, and IsConnected when the server goes away.
#include <chrono>
#include <thread>

#include "client_test.h"
#include "lib/api/default_client.h"
#include "lib/connection/timing.h"
#include "lib/platform/socket.h"

namespace palaver::test {
namespace {

using namespace chatComunicate;
using Clock = std::chrono::steady_clock;

Bytes keep_alive() {
    return ByteWriter().u16(5).u8(13).raw(kSelfKey.data(), kSelfKey.size());
}

Bytes goodbye() {
    return ByteWriter().u16(5).u8(2).raw(kSelfKey.data(), kSelfKey.size());
}

class ConnectionTest : public ClientTest {};

TEST_F(ConnectionTest, KeepAlivesFollowTheirPeriodWhateverElseIsSent) {
    timing().keepAlivePeriodMs.store(150);
    auto start = Clock::now();
    log_in();
    ASSERT_TRUE(server.expect(keep_alive()));
    EXPECT_GE(Clock::now() - start, 150ms);
    // A request between two KeepAlives does not move the next one; which of
    // the two the server reads first is up to the scheduler, and on a loaded
    // machine more KeepAlives may go out before the request.
    ASSERT_TRUE(SendTalk(1, "between", false));
    Bytes talk = ByteWriter()
                     .u16(22)
                     .u8(3)
                     .i32(kSelfId)
                     .i32(1)
                     .raw(kSelfKey.data(), 4)
                     .u8(0)
                     .text("between")
                     .u8(0);
    int keepAlives = 1;
    bool talked = false;
    while (!talked || keepAlives < 2) {
        auto head = server.read(keep_alive().size());
        ASSERT_TRUE(head) << keepAlives << " KeepAlives";
        if (*head == keep_alive()) {
            ++keepAlives;
            continue;
        }
        auto rest = server.read(talk.size() - head->size());
        ASSERT_TRUE(rest);
        ASSERT_EQ(concat(*head, *rest), talk) << hex(concat(*head, *rest));
        talked = true;
    }
    EXPECT_GE(Clock::now() - start, 150ms * keepAlives);
    // The goodbye carries the same key, and nothing follows it; KeepAlives
    // sent meanwhile may come before it.
    Logout();
    auto last = server.read(goodbye().size());
    while (last && *last == keep_alive()) {
        last = server.read(goodbye().size());
    }
    ASSERT_TRUE(last);
    EXPECT_EQ(*last, goodbye()) << hex(*last);
    EXPECT_TRUE(server.expect_closed());
}

TEST_F(ConnectionTest, LogoutOnAnIdleConnectionSaysGoodbyeAndReturnsPromptly) {
    log_in();
    auto start = Clock::now();
    Logout();
    EXPECT_LT(Clock::now() - start, 1s);
    EXPECT_FALSE(IsConnected());
    EXPECT_TRUE(server.expect(goodbye()));
    EXPECT_TRUE(server.expect_closed());
}

TEST_F(ConnectionTest, LogoutWithNoConnectionReturnsAtOnceAndChangesNothing) {
    log_in({user(5, "anna")});
    Logout();
    // Twice, and after a failed Login.
    Logout();
    stUserInfo host = host_user();
    ASSERT_EQ(login_replying(login_reply(-3), host), -3);
    auto start = Clock::now();
    Logout();
    Logout();
    EXPECT_LT(Clock::now() - start, 1s);
    EXPECT_FALSE(IsConnected());
    EXPECT_EQ(ids_of(users()), (std::vector<std::int32_t>{5}));
    EXPECT_EQ(bytes_of(*GetUserMySelf()), bytes_of(self_user()));
}

TEST_F(ConnectionTest, LogInOutAndInAgainGivesAWorkingConnection) {
    log_in();
    Logout();
    EXPECT_TRUE(server.expect(goodbye()));
    EXPECT_TRUE(server.expect_closed());

    timing().keepAlivePeriodMs.store(100);
    log_in({user(5, "anna")});
    // Both worker threads run again: lines arrive and KeepAlives leave.
    server.send(talk(5, kSelfId, "welcome back"));
    auto lines = sync();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text, "welcome back");
    EXPECT_TRUE(server.expect(keep_alive()));
    EXPECT_TRUE(IsConnected());
}

TEST_F(ConnectionTest, IsConnectedTurnsFalseWhenTheServerCloses) {
    EXPECT_FALSE(IsConnected());
    log_in();
    EXPECT_TRUE(IsConnected());
    server.close();
    EXPECT_TRUE(eventually([] { return !IsConnected(); }));
    auto start = Clock::now();
    Logout();
    EXPECT_LT(Clock::now() - start, 1s);
}

TEST_F(ConnectionTest, IsConnectedTurnsFalseWhenTheServerResets) {
    log_in();
    server.reset();
    EXPECT_TRUE(eventually([] { return !IsConnected(); }));
    // The connection is gone for good: sends fail soon, and Logout still ends it.
    EXPECT_TRUE(eventually([] { return !SendTalk(1, "anyone?", false); }));
    Logout();
    EXPECT_FALSE(IsConnected());
}

TEST_F(ConnectionTest, LogoutReturnsWhileTheServerReadsNothing) {
    // The server stops reading: the client's buffers fill and a sender blocks.
    Logout();
    server.set_receive_buffer(2048);
    log_in();
    std::thread flood([] {
        const std::string text(300, 'f');
        while (SendTalk(1, text.c_str(), false)) {
        }
    });
    // The flood blocks in a send once the client's send buffer is full.
    const auto socket = default_client().connection.socket.load();
    EXPECT_TRUE(eventually([&] { return !platform::wait_writable(socket, 0); }));
    auto start = Clock::now();
    Logout();
    EXPECT_LT(Clock::now() - start, 1s);
    flood.join();
    EXPECT_FALSE(IsConnected());
}

}  // namespace
}  // namespace palaver::test
