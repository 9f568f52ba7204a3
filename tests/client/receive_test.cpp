// The receive thread's handlers: what each server message does to the room,
// the talk queue and the action list, notices byte for byte.
#include <cstring>

#include "client_test.h"

namespace palaver::test {
namespace {

using chatComunicate::GetUserMySelf;

class ReceiveTest : public ClientTest {
  protected:
    void SetUp() override {
        ClientTest::SetUp();
        if (!HasFatalFailure()) {
            log_in({anna, bert});
        }
    }

    const stUserInfo anna = user(5, "anna", {5, 5, 5, 5}, 0x55);
    const stUserInfo bert = user(6, "bert", {6, 6, 6, 6}, 0x66);
};

void expect_notice(const stChatContent& line, const std::string& text) {
    EXPECT_EQ(line.sender, -2);
    EXPECT_EQ(line.target, -2);
    EXPECT_EQ(Bytes(line.locationKey, line.locationKey + 4), Bytes(4, 0));
    EXPECT_FALSE(line.flag);
    EXPECT_EQ(Bytes(line.text.begin(), line.text.end()), Bytes(text.begin(), text.end()));
}

TEST_F(ReceiveTest, UserEnteredAddsTheUserAndQueuesAnArrivalNotice) {
    auto cleo = user(7, "cleo", {7, 0, 0, 7}, 0x77);
    server.send(user_entered(cleo));
    auto lines = sync();
    ASSERT_EQ(lines.size(), 1u);
    expect_notice(lines[0], "cleo\x20\xB5\xC7\xC2\xBC\xC1\xCB\xA3\xA1");
    EXPECT_EQ(record_of(users(), 7), bytes_of(cleo));
}

TEST_F(ReceiveTest, UserEnteredForAKnownOrTheOwnIdKeepsTheRoomButStillNotifies) {
    server.send(concat(user_entered(user(5, "imposter")), user_entered(user(kSelfId, "twin"))));
    auto lines = sync();
    ASSERT_EQ(lines.size(), 2u);
    expect_notice(lines[0], arrival("imposter"));
    expect_notice(lines[1], arrival("twin"));
    auto room = users();
    EXPECT_EQ(ids_of(room), (std::vector<std::int32_t>{5, 6}));
    EXPECT_EQ(record_of(room, 5), bytes_of(anna));
}

TEST_F(ReceiveTest, AShortUserEnteredIsIgnored) {
    server.send(frame(1, Bytes(82, 'x')));
    EXPECT_TRUE(sync().empty());
    EXPECT_EQ(ids_of(users()), (std::vector<std::int32_t>{5, 6}));
}

TEST_F(ReceiveTest, ANameWithoutNulEndsAtTheLastByteOfItsField) {
    const std::string longName(75, 'n');
    server.send(user_entered(user(9, longName)));
    auto lines = sync();
    ASSERT_EQ(lines.size(), 1u);
    expect_notice(lines[0], arrival(longName));
}

TEST_F(ReceiveTest, UsersLeftErasesKnownUsersInOrderWithDepartureNotices) {
    server.send(users_left({5, 6}));  // length 9
    auto lines = sync();
    ASSERT_EQ(lines.size(), 2u);
    expect_notice(lines[0], "anna\x20\xCD\xCB\xB3\xF6\xC1\xCB\xA3\xA1");
    expect_notice(lines[1], departure("bert"));
    EXPECT_TRUE(users().empty());
}

TEST_F(ReceiveTest, UsersLeftForAnUnknownIdQueuesNothing) {
    server.send(concat(users_left({42}), users_left({43, 5})));
    auto lines = sync();
    ASSERT_EQ(lines.size(), 1u);
    expect_notice(lines[0], departure("anna"));
    EXPECT_EQ(ids_of(users()), (std::vector<std::int32_t>{6}));
}

TEST_F(ReceiveTest, UsersLeftWithLengthEightHandlesOneId) {
    server.send(frame(2, ByteWriter().i32(6).u8(5).u8(0).u8(0).bytes()));
    auto lines = sync();
    ASSERT_EQ(lines.size(), 1u);
    expect_notice(lines[0], departure("bert"));
    EXPECT_EQ(ids_of(users()), (std::vector<std::int32_t>{5}));
}

TEST_F(ReceiveTest, ATalkBecomesALineWithEveryField) {
    server.send(concat(talk(5, kSelfId, "hello", 1, {9, 8, 7, 6}), talk(6, 5, "flag two", 2),
                       talk(kSelfId, 6, "", 0), talk(5, 6, "x/@/7")));
    auto lines = sync();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0].sender, 5);
    EXPECT_EQ(lines[0].target, kSelfId);
    EXPECT_EQ(Bytes(lines[0].locationKey, lines[0].locationKey + 4), (Bytes{9, 8, 7, 6}));
    EXPECT_TRUE(lines[0].flag);
    EXPECT_EQ(lines[0].text, "hello");
    EXPECT_FALSE(lines[1].flag) << "only the flag byte 1 counts as set";
    EXPECT_EQ(lines[2].sender, kSelfId);  // the own lines come back like any other
    EXPECT_EQ(lines[2].text, "");
    EXPECT_EQ(lines[3].text, "x/@/7");  // the marker counts only at the start
    EXPECT_TRUE(actions().empty());
}

TEST_F(ReceiveTest, ATalkWithoutNulEndsWithItsMessageAndAShortOneIsIgnored) {
    server.send(
        concat(talk(5, 6, "open end", 0, {}, false), frame(3, Bytes(12, 1)), talk(5, 6, "next")));
    auto lines = sync();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].text, "open end");
    EXPECT_EQ(lines[1].text, "next");
}

TEST_F(ReceiveTest, ActionsKeepTheLatestByteOfEachPairInOrderOfFirstAppearance) {
    server.send(concat(talk(7, 9, "/@/\x05", 1), talk(9, 7, "/@/"), talk(7, 9, "/@/\x02rest")));
    EXPECT_TRUE(sync().empty()) << "actions are not chat lines";
    auto got = actions();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].sender, 7);
    EXPECT_EQ(got[0].target, 9);
    EXPECT_EQ(got[0].action, 2);
    EXPECT_EQ(got[1].sender, 9);
    EXPECT_EQ(got[1].target, 7);
    EXPECT_EQ(got[1].action, 0);
}

TEST_F(ReceiveTest, UsersUpdatedReplacesKnownRecordsAndNotifiesNameChanges) {
    auto annaMoved = user(5, "anna", {1, 1, 1, 1}, 0x15);
    auto bertRenamed = user(6, "bruno", {6, 6, 6, 6}, 0x16);
    server.send(users_updated({annaMoved, user(77, "stranger"), bertRenamed}));
    auto lines = sync();
    ASSERT_EQ(lines.size(), 1u);
    expect_notice(lines[0],
                  "bert\x20\xB8\xC4\xC3\xFB\xCE\xAA\x3A\x20"
                  "bruno");
    auto room = users();
    EXPECT_EQ(ids_of(room), (std::vector<std::int32_t>{5, 6}));
    EXPECT_EQ(record_of(room, 5), bytes_of(annaMoved));
    EXPECT_EQ(record_of(room, 6), bytes_of(bertRenamed));
}

TEST_F(ReceiveTest, UsersUpdatedForTheOwnIdChangesOnlyTheOwnName) {
    stUserInfo expected = self_user();
    std::memcpy(expected.name, "newname", 8);  // the rest of the old record stays
    server.send(users_updated({user(kSelfId, "newname", {0, 0, 0, 0}, 0x99)}));
    EXPECT_TRUE(sync().empty());
    EXPECT_EQ(bytes_of(*GetUserMySelf()), bytes_of(expected));
    EXPECT_EQ(ids_of(users()), (std::vector<std::int32_t>{5, 6}));
}

TEST_F(ReceiveTest, AnOwnNameWithoutNulNeverReachesTheLocationKey) {
    server.send(users_updated({user(kSelfId, std::string(75, 'z'))}));
    sync();
    const stUserInfo* self = GetUserMySelf();
    EXPECT_EQ(name_of(*self), std::string(74, 'z'));
    EXPECT_EQ(Bytes(self->locationKey, self->locationKey + 4),
              Bytes(kSelfKey.begin(), kSelfKey.end()));
}

TEST_F(ReceiveTest, RoomListReplacesTheRoomLeavingOutTheOwnRecordSilently) {
    std::vector<stUserInfo> six{self_user()};
    for (int id = 20; id < 25; ++id) {
        six.push_back(user(id, "r" + std::to_string(id)));
    }
    // Six records and one byte more: length 500, the extra byte ignored.
    Bytes payload;
    for (const auto& u : six) {
        payload = concat(payload, bytes_of(u));
    }
    payload.push_back(0xEE);
    server.send(frame(12, payload));
    EXPECT_TRUE(sync().empty());
    auto room = users();
    EXPECT_EQ(ids_of(room), (std::vector<std::int32_t>{20, 21, 22, 23, 24}));
    EXPECT_EQ(record_of(room, 24), bytes_of(six[5]));

    server.send(room_list({}));  // length 1
    sync();
    EXPECT_TRUE(users().empty());
}

}  // namespace
}  // namespace palaver::test
