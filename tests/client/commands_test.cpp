// The host's requests: the exact bytes of each, the argument checks, and the
// results with and without a connection.
#include <cmath>
#include <limits>
#include <thread>

#include "client_test.h"
#include "lib/api/default_client.h"
#include "lib/platform/socket.h"
#include "socket_compat.h"

namespace palaver::test {
namespace {

using namespace chatComunicate;

// The own id and location key that open most requests.
ByteWriter owned(std::uint16_t length, std::uint8_t type) {
    ByteWriter w;
    w.u16(length).u8(type).i32(kSelfId).raw(kSelfKey.data(), kSelfKey.size());
    return w;
}

Bytes room_list_request() {
    return ByteWriter().u16(5).u8(12).raw(kSelfKey.data(), kSelfKey.size());
}

Bytes talk_request(std::int32_t target, const std::string& text, std::uint8_t flag) {
    return ByteWriter()
        .u16(static_cast<std::uint16_t>(15 + text.size()))
        .u8(3)
        .i32(kSelfId)
        .i32(target)
        .raw(kSelfKey.data(), kSelfKey.size())
        .u8(flag)
        .text(text)
        .u8(0);
}

class CommandsTest : public ClientTest {
  protected:
    void SetUp() override {
        ClientTest::SetUp();
        if (!HasFatalFailure()) {
            log_in();
        }
    }

    // Nothing went out since the last expected bytes: the next request's
    // bytes are the next the server reads.
    void expect_nothing_sent() {
        ASSERT_TRUE(GetAllUserInRoom());
        EXPECT_TRUE(server.expect(room_list_request()));
    }
};

TEST_F(CommandsTest, SendTalkWritesTextsOfUpTo300BytesWithTheirFlag) {
    EXPECT_TRUE(SendTalk(9, "hi", false));
    EXPECT_TRUE(server.expect(talk_request(9, "hi", 0)));
    EXPECT_TRUE(SendTalk(-3, "", true));
    EXPECT_TRUE(server.expect(talk_request(-3, "", 1)));
    EXPECT_TRUE(SendTalk(9, "/@/\x05 as typed", false));  // not refused, not altered
    EXPECT_TRUE(server.expect(talk_request(9, "/@/\x05 as typed", 0)));

    const std::string longest(300, 'w');
    EXPECT_TRUE(SendTalk(9, longest.c_str(), false));
    Bytes expected = talk_request(9, longest, 0);
    ASSERT_EQ(expected.size(), 317u);
    EXPECT_TRUE(server.expect(expected));

    EXPECT_FALSE(SendTalk(9, std::string(301, 'w').c_str(), false));
    EXPECT_FALSE(SendTalk(9, nullptr, false));
    expect_nothing_sent();
}

TEST_F(CommandsTest, DoAnctionSendsTheMarkerAndTheActionByteAsATalk) {
    EXPECT_TRUE(DoAnction(9, 0));
    Bytes none = talk_request(9, "/@/", 0);
    ASSERT_EQ(none.size(), 20u);
    EXPECT_TRUE(server.expect(none));
    EXPECT_TRUE(DoAnction(-4, 5));
    Bytes five = talk_request(-4, "/@/\x05", 0);
    ASSERT_EQ(five.size(), 21u);
    EXPECT_TRUE(server.expect(five));
    EXPECT_TRUE(DoAnction(9, 255));
    EXPECT_TRUE(server.expect(talk_request(9, "/@/\xFF", 0)));
}

TEST_F(CommandsTest, Walk2PosCarriesThreeDoublesAndTheFourthValueAsAFloat) {
    EXPECT_TRUE(Walk2Pos(1.5, -2.25, 1e300, 0.1f));
    EXPECT_TRUE(server.expect(owned(37, 5).f64(1.5).f64(-2.25).f64(1e300).f32(0.1f)));
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_TRUE(Walk2Pos(inf, -0.0, nan, -std::numeric_limits<float>::infinity()));
    EXPECT_TRUE(server.expect(
        owned(37, 5).f64(inf).f64(-0.0).f64(nan).f32(-std::numeric_limits<float>::infinity())));
}

TEST_F(CommandsTest, ChangeNameSendsNamesOfUpTo30Bytes) {
    std::string thirty(30, 'N');
    EXPECT_TRUE(ChangeName(thirty.data()));
    Bytes expected = owned(40, 6).field(thirty, 31);
    ASSERT_EQ(expected.size(), 42u);
    EXPECT_TRUE(server.expect(expected));

    char upper[] = "ME";  // differs from the own "me" only in case
    EXPECT_TRUE(ChangeName(upper));
    EXPECT_TRUE(server.expect(owned(40, 6).field("ME", 31)));
    EXPECT_EQ(name_of(*GetUserMySelf()), "me") << "the own name waits for the server";

    std::string thirtyOne(31, 'N');
    EXPECT_FALSE(ChangeName(thirtyOne.data()));
    EXPECT_FALSE(ChangeName(nullptr));
    expect_nothing_sent();
}

TEST_F(CommandsTest, ChangeNameToTheOwnNameIsTrueWithoutSendingEvenWhenDisconnected) {
    char same[] = "me";
    EXPECT_TRUE(ChangeName(same));
    expect_nothing_sent();
    Logout();
    EXPECT_TRUE(ChangeName(same));
    char other[] = "you";
    EXPECT_FALSE(ChangeName(other));
}

TEST_F(CommandsTest, ALongOwnNameIsStillRefusedAbove30Bytes) {
    Logout();
    std::string longName(31, 'q');
    log_in({}, user(kSelfId, longName, kSelfKey));
    EXPECT_FALSE(ChangeName(longName.data()));
    expect_nothing_sent();
}

TEST_F(CommandsTest, ModelPictureKickAndRoomListRequests) {
    EXPECT_TRUE(ChangeModel(-7));
    EXPECT_TRUE(server.expect(owned(13, 8).i32(-7)));

    std::string ten(10, 'p');
    EXPECT_TRUE(ChangePic(ten.data()));
    Bytes picture = owned(20, 9).field(ten, 11);
    ASSERT_EQ(picture.size(), 22u);
    EXPECT_TRUE(server.expect(picture));
    std::string eleven(11, 'p');
    EXPECT_FALSE(ChangePic(eleven.data()));
    EXPECT_FALSE(ChangePic(nullptr));

    EXPECT_TRUE(KickPerson(3, 9));
    EXPECT_TRUE(server.expect(ByteWriter().u16(9).u8(10).i32(3).i32(9)));

    server.send(user_entered(user(5, "anna")));
    sync();
    EXPECT_TRUE(GetAllUserInRoom());
    EXPECT_TRUE(server.expect(room_list_request()));
    EXPECT_EQ(ids_of(users()), (std::vector<std::int32_t>{5}));
}

TEST_F(CommandsTest, RequestsKeepTheLoginKeyWhenTheOwnNameChanges) {
    server.send(users_updated({user(kSelfId, "renamed", {0, 0, 0, 0})}));
    sync();
    EXPECT_TRUE(ChangeModel(1));
    EXPECT_TRUE(server.expect(owned(13, 8).i32(1)));
}

TEST_F(CommandsTest, EveryRequestFailsWithoutAConnection) {
    Logout();
    char name[] = "other";
    char picture[] = "pic";
    EXPECT_FALSE(SendTalk(1, "x", false));
    EXPECT_FALSE(DoAnction(1, 2));
    EXPECT_FALSE(Walk2Pos(1, 2, 3, 4));
    EXPECT_FALSE(ChangeName(name));
    EXPECT_FALSE(ChangeModel(1));
    EXPECT_FALSE(ChangePic(picture));
    EXPECT_FALSE(KickPerson(1, 2));
    EXPECT_FALSE(GetAllUserInRoom());
    // The server saw the goodbye and the close, and nothing of the above.
    EXPECT_TRUE(server.expect(ByteWriter().u16(5).u8(2).raw(kSelfKey.data(), 4)));
    EXPECT_TRUE(server.expect_closed());
}

TEST_F(CommandsTest, TwoThreadsSendingLongTalksNeverInterleave) {
    // Small buffers on both ends make the client's sends block part way,
    // which is where two unguarded senders would mix their bytes.
    Logout();
    server.set_receive_buffer(2048);
    log_in();
    int small = 4096;
    ASSERT_EQ(net::set_option(static_cast<int>(default_client().connection.socket.load()),
                              SOL_SOCKET, SO_SNDBUF, &small, sizeof small),
              0);
    constexpr int kEach = 300;
    auto sender = [](int target, char fill) {
        const std::string text(300, fill);
        for (int i = 0; i < kEach; ++i) {
            if (!SendTalk(target, text.c_str(), false)) {
                return;
            }
        }
    };
    std::thread a(sender, 1, 'a');
    std::thread b(sender, 2, 'b');
    // On a failed check the server hangs up, which ends any blocked send.
    struct Joiner {
        FakeServer& server;
        std::thread& a;
        std::thread& b;
        ~Joiner() {
            server.close();
            a.join();
            b.join();
        }
    } joiner{server, a, b};
    // Both senders block once the client's send buffer is full (one in send,
    // the other on the send lock); only then does the server read.
    const auto socket = default_client().connection.socket.load();
    ASSERT_TRUE(eventually([&] { return !platform::wait_writable(socket, 0); }));
    int seen[3] = {0, 0, 0};
    for (int i = 0; i < 2 * kEach; ++i) {
        auto message = server.read(317);
        ASSERT_TRUE(message) << "after " << i << " messages";
        Bytes& m = *message;
        std::int32_t target = m[7];
        ASSERT_TRUE(target == 1 || target == 2) << hex(Bytes(m.begin(), m.begin() + 17));
        ASSERT_EQ(*message, talk_request(target, std::string(300, target == 1 ? 'a' : 'b'), 0))
            << "message " << i;
        ++seen[target];
    }
    EXPECT_EQ(seen[1], kEach);
    EXPECT_EQ(seen[2], kEach);
}

}  // namespace
}  // namespace palaver::test
