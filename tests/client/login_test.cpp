// Login against the variants of the login reply, and what a failed Login
// leaves behind.
#include <chrono>
#include <climits>
#include <future>

#include "client_test.h"
#include "lib/connection/timing.h"

namespace palaver::test {
namespace {

using chatComunicate::GetUserMySelf;
using chatComunicate::IsConnected;
using chatComunicate::Login;
using chatComunicate::Logout;

class LoginTest : public ClientTest {
  protected:
    // A room the host knew from an earlier Login, to show what a later one keeps.
    void with_known_room() {
        log_in({user(7, "anna"), user(8, "bert")});
        Logout();
    }
};

TEST_F(LoginTest, TheFirstRecordIsTheOwnAndTheRestOfAllGroupsTheRoom) {
    stUserInfo host = host_user();
    auto a = user(7, "anna", {7, 7, 7, 7}, 0x71);
    auto b = user(-5, "bert", {5, 5, 5, 5}, 0x72);
    auto c = user(3, "cleo", {3, 3, 3, 3}, 0x73);
    auto d = user(12, "dora", {1, 2, 1, 2}, 0x74);
    ASSERT_EQ(login_replying(login_reply(2, {{self_user(), a, b}, {c, d}}), host), 1);

    EXPECT_EQ(bytes_of(host), bytes_of(self_user()));
    EXPECT_EQ(bytes_of(*GetUserMySelf()), bytes_of(self_user()));
    auto room = users();
    EXPECT_EQ(ids_of(room), (std::vector<std::int32_t>{-5, 3, 7, 12}));  // signed order
    for (const auto& u : {a, b, c, d}) {
        EXPECT_EQ(record_of(room, u.userId), bytes_of(u)) << name_of(u);
    }
    EXPECT_TRUE(IsConnected());
}

TEST_F(LoginTest, AnOwnNameWithoutNulIsCutBeforeTheLocationKey) {
    auto unterminated = user(kSelfId, std::string(75, 'u'), kSelfKey);
    stUserInfo host = host_user();
    ASSERT_EQ(login_replying(login_reply(1, {{unterminated}}), host), 1);
    EXPECT_EQ(bytes_of(host), bytes_of(unterminated)) << "the host's record is the server's";
    const stUserInfo* self = GetUserMySelf();
    EXPECT_EQ(name_of(*self), std::string(74, 'u'));
    EXPECT_EQ(Bytes(self->locationKey, self->locationKey + 4),
              Bytes(kSelfKey.begin(), kSelfKey.end()));
}

TEST_F(LoginTest, ADuplicateIdKeepsTheRecordThatCameFirst) {
    stUserInfo host = host_user();
    auto first = user(7, "first");
    ASSERT_EQ(login_replying(login_reply(2, {{self_user(), first, user(7, "second")},
                                             {user(7, "third"), user(9, "ivo")}}),
                             host),
              1);
    auto room = users();
    EXPECT_EQ(ids_of(room), (std::vector<std::int32_t>{7, 9}));
    EXPECT_EQ(record_of(room, 7), bytes_of(first));
}

TEST_F(LoginTest, StatusZeroEmptiesTheRoomAndKeepsBothOwnRecords) {
    with_known_room();
    stUserInfo host = host_user();
    ASSERT_EQ(login_replying(login_reply(0), host), 1);
    EXPECT_EQ(bytes_of(host), bytes_of(host_user()));
    EXPECT_EQ(bytes_of(*GetUserMySelf()), bytes_of(self_user()));
    EXPECT_TRUE(users().empty());
    EXPECT_TRUE(IsConnected());
    EXPECT_TRUE(sync().empty());  // the receive thread runs
}

TEST_F(LoginTest, AnEmptyFirstGroupGivesNoOwnRecord) {
    with_known_room();
    auto x = user(21, "xena");
    auto y = user(22, "yuri");
    // Counts of zero and below both mean an empty group.
    Bytes reply = ByteWriter().i32(3).i32(0).i32(-4).i32(2).raw(bytes_of(x)).raw(bytes_of(y));
    stUserInfo host = host_user();
    ASSERT_EQ(login_replying(reply, host), 1);
    EXPECT_EQ(bytes_of(host), bytes_of(host_user()));
    EXPECT_EQ(bytes_of(*GetUserMySelf()), bytes_of(self_user()));
    auto room = users();
    EXPECT_EQ(ids_of(room), (std::vector<std::int32_t>{21, 22}));
    EXPECT_EQ(record_of(room, 21), bytes_of(x));
}

TEST_F(LoginTest, AGroupAbove197RecordsIsReadWholeAndTheStreamStaysInStep) {
    std::vector<stUserInfo> big{self_user()};
    for (int id = 1000; id < 1260; ++id) {
        big.push_back(user(id, "u" + std::to_string(id), {1, 1, 1, 1}, static_cast<uint8_t>(id)));
    }
    auto after = user(5000, "last");
    stUserInfo host = host_user();
    // The first chat line rides right behind the reply.
    Bytes reply = concat(login_reply(2, {big, {after}}), talk(1000, kSelfId, "first line"));
    ASSERT_EQ(login_replying(reply, host), 1);
    auto room = users();
    ASSERT_EQ(room.size(), big.size());
    for (std::size_t i = 1; i < big.size(); ++i) {
        ASSERT_EQ(record_of(room, big[i].userId), bytes_of(big[i])) << i;
    }
    EXPECT_EQ(record_of(room, 5000), bytes_of(after));
    auto lines = sync();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text, "first line");
}

TEST_F(LoginTest, ARefusalReturnsTheCodeUnchangedAndKeepsEverything) {
    with_known_room();
    for (std::int32_t code : {-3, -1, INT_MIN}) {
        stUserInfo host = host_user();
        ASSERT_EQ(login_replying(login_reply(code), host), code);
        EXPECT_EQ(bytes_of(host), bytes_of(host_user()));
        EXPECT_EQ(bytes_of(*GetUserMySelf()), bytes_of(self_user()));
        EXPECT_EQ(ids_of(users()), (std::vector<std::int32_t>{7, 8}));
        EXPECT_FALSE(IsConnected());
        EXPECT_TRUE(server.expect_closed()) << "a refused Login keeps its socket";
    }
}

TEST_F(LoginTest, AReplyThatBreaksOffInAGroupGivesMinusOneAndClosesTheSocket) {
    // The limit also bounds the wait for the reply's start: long enough for a
    // loaded machine.
    timing().loginLimitMs.store(2000);
    auto a = user(7, "anna");
    Bytes whole = login_reply(1, {{self_user(), a, user(8, "bert")}});
    Bytes cut(whole.begin(), whole.end() - 40);  // the last record half sent
    stUserInfo host = host_user();
    int result = login_with(host, "secret", [&](FakeServer& s) {
        ASSERT_TRUE(s.expect(login_request(host_user(), "secret")));
        s.send(cut);  // and then silence
    });
    EXPECT_EQ(result, -1);
    EXPECT_FALSE(IsConnected());
    EXPECT_TRUE(server.expect_closed());
    // What came whole before the break is kept.
    EXPECT_EQ(bytes_of(*GetUserMySelf()), bytes_of(self_user()));
    EXPECT_EQ(ids_of(users()), (std::vector<std::int32_t>{7}));
}

TEST_F(LoginTest, AStatusThatBreaksOffGivesZero) {
    stUserInfo host = host_user();
    int result = login_with(host, "secret", [&](FakeServer& s) {
        ASSERT_TRUE(s.expect(login_request(host_user(), "secret")));
        s.send({1, 0});
        s.close();
    });
    EXPECT_EQ(result, 0);
    EXPECT_FALSE(IsConnected());
}

TEST_F(LoginTest, ASilentServerGivesZeroAtTheLoginLimit) {
    timing().loginLimitMs.store(2000);
    stUserInfo host = host_user();
    int result = login_with(host, "secret", [&](FakeServer& s) {
        ASSERT_TRUE(s.expect(login_request(host_user(), "secret")));
    });
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(server.expect_closed());
    EXPECT_EQ(bytes_of(host), bytes_of(host_user()));
}

TEST_F(LoginTest, ASilentServerGetsTheRealTenSeconds) {
    stUserInfo host = host_user();
    auto start = std::chrono::steady_clock::now();
    int result = login_with(host, "secret", [&](FakeServer& s) {
        ASSERT_TRUE(s.expect(login_request(host_user(), "secret")));
    });
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(result, 0);
    EXPECT_GE(waited, 9500ms);
    EXPECT_LT(waited, 30s);
}

TEST_F(LoginTest, LoginStringsOfUpTo20BytesFillTheirField) {
    for (std::string login : {std::string(), std::string(19, 'n'), std::string(20, 't')}) {
        stUserInfo host = host_user();
        int result = login_with(host, login, [&](FakeServer& s) {
            // 19 bytes leave their NUL as the field's last byte; 20 fill it.
            ASSERT_TRUE(
                s.expect(ByteWriter().u16(104).u8(1).raw(bytes_of(host_user())).field(login, 20)));
            s.send(login_reply(0));
        });
        EXPECT_EQ(result, 1) << login.size();
    }
}

TEST_F(LoginTest, ALongerOrNullLoginStringFailsWithoutConnecting) {
    stUserInfo host = host_user();
    EXPECT_EQ(Login(host, std::string(21, 'x').c_str()), 0);
    EXPECT_EQ(Login(host, nullptr), 0);
    // A connect completes before Login could return, so it would be waiting here.
    EXPECT_FALSE(server.accept(0ms));
    EXPECT_EQ(bytes_of(host), bytes_of(host_user()));
}

TEST_F(LoginTest, NoServerListeningGivesZero) {
    std::uint16_t port;
    {
        FakeServer gone;
        port = gone.port();
    }
    ASSERT_EQ(chatComunicate::SetServerIPandPort("127.0.0.1", port), 1);
    stUserInfo host = host_user();
    EXPECT_EQ(Login(host, "secret"), 0);
    EXPECT_FALSE(IsConnected());
}

TEST_F(LoginTest, ASecondLoginEndsTheOpenConnectionFirst) {
    log_in();
    FakeServer next;
    ASSERT_EQ(chatComunicate::SetServerIPandPort("127.0.0.1", next.port()), 1);
    stUserInfo host = host_user();
    auto result = std::async(std::launch::async, [&] { return Login(host, "again"); });
    // The first server hears the goodbye and the close before the second is asked.
    EXPECT_TRUE(server.expect(ByteWriter().u16(5).u8(2).raw(kSelfKey.data(), 4)));
    EXPECT_TRUE(server.expect_closed());
    ASSERT_TRUE(next.accept());
    EXPECT_TRUE(next.expect(login_request(host_user(), "again")));
    next.send(login_reply(0));
    EXPECT_EQ(result.get(), 1);
    EXPECT_TRUE(IsConnected());
}

}  // namespace
}  // namespace palaver::test
