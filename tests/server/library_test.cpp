// The server against the Palaver library, called as a host calls it.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <sstream>

#include "PalaverProfile.h"
#include "lib/connection/timing.h"
#include "protocol/server_messages.h"
#include "server_harness.h"

namespace palaver::test {
namespace {

std::shared_ptr<const server::Accounts> accounts() {
    std::istringstream in("host pw admin\nalice pw\nbob pw\n");
    std::string error;
    return std::make_shared<const server::Accounts>(*server::Accounts::parse(in, error));
}

constexpr Ms kIdle = 2000ms;

class LibraryTest : public ::testing::Test {
  protected:
    // Login's limit stays the real one: on a loaded machine the server may
    // take more than 200 ms to answer.
    void SetUp() override {
        timing().keepAlivePeriodMs = 100;
        ASSERT_EQ(chatComunicate::SetServerIPandPort("127.0.0.1", server.port()), 1);
    }
    void TearDown() override { chatComunicate::Logout(); }

    static server::Settings settings() {
        auto s = test_settings();
        s.accounts = accounts();
        // The library's keep-alives, 20 to the idle time, must hold the
        // session; the raw clients send theirs only when a test says so.
        s.idleTimeout = kIdle;
        return s;
    }

    int login(const char* name, const char* password, std::uint32_t room = 3) {
        me = make_user(name, room);
        return chatComunicate::Login(me, password);
    }

    std::set<std::int32_t> user_ids() {
        std::set<stUserInfo> users;
        chatComunicate::GetUserList(users);
        std::set<std::int32_t> ids;
        for (const auto& u : users) {
            ids.insert(u.userId);
        }
        return ids;
    }

    TestServer server{settings()};
    stUserInfo me{};
};

TEST_F(LibraryTest, RefusalsReachTheHostUnchanged) {
    EXPECT_EQ(login("host", "wrong"), -3);
    EXPECT_EQ(login("", "pw"), -2);
    EXPECT_FALSE(chatComunicate::IsConnected());
}

TEST_F(LibraryTest, HostSeesTheRoomTalksAndActs) {
    RawClient alice(server.port());
    ASSERT_EQ(alice.login("alice", 3, "pw"), 1);
    ASSERT_EQ(login("host", "pw"), 1);
    const std::int32_t self = chatComunicate::GetUserMySelf()->userId;
    EXPECT_EQ(me.userId, self);
    EXPECT_NE(self, 12345);
    EXPECT_EQ(user_ids(), std::set<std::int32_t>{alice.id()});
    auto entered = alice.next_of(kEntered);
    ASSERT_TRUE(entered);
    EXPECT_EQ(decode_user_entered(entered->frame())->userId, self);

    ASSERT_TRUE(chatComunicate::SendTalk(alice.id(), "hi alice", false));
    auto heard = alice.next_of(kTalk);
    ASSERT_TRUE(heard);
    EXPECT_EQ(decode_talk(heard->frame())->sender, self);

    alice.talk(self, "hi host", true);
    ASSERT_TRUE(chatComunicate::DoAnction(alice.id(), 7));
    std::vector<stChatContent> lines;
    std::vector<stActionContent> actions;
    EXPECT_TRUE(eventually([&] {
        chatComunicate::GetTalk(lines);
        chatComunicate::GetActionList(actions);
        return lines.size() >= 2 && !actions.empty();
    }));
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0].text, "hi alice") << "the own line comes back";
    EXPECT_EQ(lines[1].sender, alice.id());
    EXPECT_TRUE(lines[1].flag);
    EXPECT_EQ(lines[1].text, "hi host");
    ASSERT_EQ(actions.size(), 1u);
    EXPECT_EQ(actions[0].sender, self);
    EXPECT_EQ(actions[0].action, 7);
}

TEST_F(LibraryTest, HostChangesItsProfile) {
    RawClient alice(server.port());
    ASSERT_EQ(alice.login("alice", 3, "pw"), 1);
    ASSERT_EQ(login("host", "pw"), 1);
    char name[] = "hostess";
    char picture[] = "me.png";
    ASSERT_TRUE(chatComunicate::Walk2Pos(1, 2, 3, 0.25f));
    ASSERT_TRUE(chatComunicate::ChangeModel(9));
    ASSERT_TRUE(chatComunicate::ChangePic(picture));
    ASSERT_TRUE(chatComunicate::ChangeName(name));
    std::optional<stUserInfo> last;
    for (int i = 0; i < 4; ++i) {
        auto m = alice.next_of(kUpdated);
        ASSERT_TRUE(m);
        last = records_of(*m).at(0);
    }
    EXPECT_EQ(profile::name(*last), "hostess");
    EXPECT_EQ(profile::model(*last), 9);
    EXPECT_EQ(profile::picture(*last), "me.png");
    EXPECT_EQ(profile::position(*last).z, 3);
    // A line sent after the changes arrives after them: once the host has it,
    // the receive thread has applied the rename to the own record.
    alice.talk(0, "after the changes");
    std::vector<stChatContent> lines;
    EXPECT_TRUE(eventually([&] {
        chatComunicate::GetTalk(lines);
        return !lines.empty() && lines.back().text == "after the changes";
    }));
    EXPECT_STREQ(chatComunicate::GetUserMySelf()->name, "hostess")
        << "the own record follows the server's";
}

TEST_F(LibraryTest, RoomListKickAndLogout) {
    RawClient alice(server.port()), bob(server.port());
    ASSERT_EQ(alice.login("alice", 3, "pw"), 1);
    ASSERT_EQ(login("host", "pw"), 1);
    ASSERT_EQ(bob.login("bob", 3, "pw"), 1);
    EXPECT_TRUE(eventually([&] { return user_ids().size() == 2; }));

    // The server answers in order: once the host has its own line back, the
    // room list sent before it has been applied.
    ASSERT_TRUE(chatComunicate::GetAllUserInRoom());
    ASSERT_TRUE(chatComunicate::SendTalk(-1, "after the list", false));
    std::vector<stChatContent> lines;
    EXPECT_TRUE(eventually([&] {
        chatComunicate::GetTalk(lines);
        return !lines.empty() && lines.back().text == "after the list";
    }));
    EXPECT_EQ(user_ids(), (std::set<std::int32_t>{alice.id(), bob.id()}));

    // Outlasting the server's idle time: the library's keep-alives hold it.
    for (auto end = std::chrono::steady_clock::now() + kIdle * 5 / 4;
         std::chrono::steady_clock::now() < end;) {
        alice.send(encode_keep_alive(alice.key()));
        bob.send(encode_keep_alive(bob.key()));
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_TRUE(chatComunicate::IsConnected());

    ASSERT_TRUE(chatComunicate::KickPerson(bob.id(), 10));
    EXPECT_TRUE(bob.closed_within());
    EXPECT_TRUE(eventually([&] { return user_ids() == std::set<std::int32_t>{alice.id()}; }));

    const std::int32_t self = chatComunicate::GetUserMySelf()->userId;
    chatComunicate::Logout();
    auto left = alice.next_of(kLeft);
    while (left && ids_of(*left) != std::vector<std::int32_t>{self}) {
        left = alice.next_of(kLeft);
    }
    EXPECT_TRUE(left) << "the room hears of the logout";
}

}  // namespace
}  // namespace palaver::test
