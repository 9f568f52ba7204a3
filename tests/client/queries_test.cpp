// The host's polling: the drains deliver each element once, after what the
// host's container already holds; the set copy adds only ids it lacks.
#include <thread>

#include "client_test.h"

namespace palaver::test {
namespace {

using chatComunicate::GetActionList;
using chatComunicate::GetTalk;
using chatComunicate::GetUserList;
using chatComunicate::GetUserMySelf;

class QueriesTest : public ClientTest {};

stChatContent host_line(const std::string& text) {
    return stChatContent{1, 2, {3, 4, 5, 6}, true, text};
}

TEST_F(QueriesTest, GetTalkAppendsAfterTheHostsLinesAndDeliversEachLineOnce) {
    log_in();
    std::vector<stChatContent> lines{host_line("a"), host_line("b"), host_line("c")};
    server.send(concat(talk(7, kSelfId, "first"), talk(7, kSelfId, "second")));
    ASSERT_TRUE(eventually([&] {
        GetTalk(lines);
        return lines.size() >= 5;
    }));
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0].text, "a");
    EXPECT_EQ(lines[2].text, "c");
    EXPECT_EQ(lines[3].text, "first");
    EXPECT_EQ(lines[4].text, "second");

    GetTalk(lines);
    EXPECT_EQ(lines.size(), 5u) << "a second drain with no traffic adds nothing";

    // The host's copy is its own: changing it touches nothing in the library.
    lines[3].text.assign(1000, '#');
    server.send(talk(7, kSelfId, "third"));
    std::vector<stChatContent> more;
    ASSERT_TRUE(eventually([&] {
        GetTalk(more);
        return !more.empty();
    }));
    ASSERT_EQ(more.size(), 1u);
    EXPECT_EQ(more[0].text, "third");
}

TEST_F(QueriesTest, GetActionListDeliversEachPairsLatestActionOncePerDrain) {
    log_in();
    std::vector<stActionContent> acts{{1, 2, 3}};
    server.send(concat(talk(7, 9, "/@/\x04"), talk(7, 9, "/@/\x06")));
    sync();
    GetActionList(acts);
    ASSERT_EQ(acts.size(), 2u);
    EXPECT_EQ(acts[0].action, 3);  // the host's entry stays first
    EXPECT_EQ(acts[1].action, 6);

    server.send(talk(7, 9, "/@/\x01"));
    sync();
    std::vector<stActionContent> next;
    GetActionList(next);
    ASSERT_EQ(next.size(), 1u);
    EXPECT_EQ(next[0].sender, 7);
    EXPECT_EQ(next[0].action, 1);
    GetActionList(next);
    EXPECT_EQ(next.size(), 1u);
}

TEST_F(QueriesTest, GetUserListAddsOnlyTheIdsTheHostsSetLacks) {
    auto anna = user(5, "anna");
    auto bert = user(6, "bert");
    log_in({anna, bert});
    auto mine = user(5, "my own anna", {0, 0, 0, 0}, 0x42);
    std::set<stUserInfo> hosts{mine};
    GetUserList(hosts);
    EXPECT_EQ(ids_of(hosts), (std::vector<std::int32_t>{5, 6}));
    EXPECT_EQ(record_of(hosts, 5), bytes_of(mine));

    // Bert leaves, anna is renamed, carl arrives: only carl is added.
    server.send(
        concat(users_left({6}), users_updated({user(5, "anne")}), user_entered(user(7, "carl"))));
    sync();
    GetUserList(hosts);
    EXPECT_EQ(ids_of(hosts), (std::vector<std::int32_t>{5, 6, 7}));
    EXPECT_EQ(record_of(hosts, 5), bytes_of(mine));
    EXPECT_EQ(record_of(hosts, 6), bytes_of(bert));
    EXPECT_EQ(ids_of(users()), (std::vector<std::int32_t>{5, 7}));
}

TEST_F(QueriesTest, TheOwnRecordIsOneLiveAddressThatLogoutKeeps) {
    stUserInfo* before = GetUserMySelf();
    ASSERT_NE(before, nullptr);
    log_in({user(5, "anna")});
    EXPECT_EQ(GetUserMySelf(), before);
    EXPECT_EQ(bytes_of(*before), bytes_of(self_user()));
    server.send(users_updated({user(kSelfId, "renamed")}));
    sync();
    EXPECT_EQ(name_of(*before), "renamed");
    chatComunicate::Logout();
    EXPECT_EQ(GetUserMySelf(), before);
    EXPECT_EQ(name_of(*before), "renamed");
}

TEST_F(QueriesTest, LogoutKeepsWhatArrivedBeforeIt) {
    log_in({user(5, "anna")});
    // The arrival is handled last, so once carl is in the room the rest is too.
    server.send(
        concat(talk(5, kSelfId, "kept"), talk(5, 9, "/@/\x03"), user_entered(user(7, "carl"))));
    ASSERT_TRUE(eventually([&] { return users().size() == 2; }));
    chatComunicate::Logout();
    std::vector<stChatContent> lines;
    GetTalk(lines);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].text, "kept");
    EXPECT_EQ(lines[1].text, arrival("carl"));
    EXPECT_EQ(actions().size(), 1u);
    EXPECT_EQ(ids_of(users()), (std::vector<std::int32_t>{5, 7}));
}

TEST_F(QueriesTest, PollingDuringAFloodDeliversEveryLineOnceInOrder) {
    log_in({user(5, "anna")});
    // Lines, actions, arrivals, renames of the own user and room lists, while a
    // host thread polls everything and renames itself.
    Bytes flood;
    std::vector<std::string> expected;
    for (int i = 0; i < 1500; ++i) {
        expected.push_back("flood " + std::to_string(i));
        flood = concat(flood, talk(5, kSelfId, expected.back()), talk(5, 9, "/@/\x01"));
        if (i % 100 == 0) {
            flood = concat(flood, room_list({user(5, "anna"), user(6 + i, "guest")}),
                           users_updated({user(kSelfId, i % 200 ? "odd" : "even")}));
        }
    }
    std::vector<stChatContent> lines;
    std::thread host([&] {
        char name[] = "odd";
        // The server reads none of the renames: few enough to fit the buffers.
        int renames = 50;
        eventually([&] {
            GetTalk(lines);
            std::set<stUserInfo> room;
            GetUserList(room);
            std::vector<stActionContent> acts;
            GetActionList(acts);
            if (renames-- > 0) {
                chatComunicate::ChangeName(name);
            }
            return !lines.empty() && lines.back().text == expected.back();
        });
    });
    server.send(flood);
    host.join();
    std::vector<std::string> texts;
    for (const auto& l : lines) {
        texts.push_back(l.text);
    }
    EXPECT_EQ(texts, expected);
}

}  // namespace
}  // namespace palaver::test
