#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <set>

#include "PalaverProfile.h"
#include "protocol/server_messages.h"
#include "server_harness.h"

namespace palaver::test {
namespace {

struct TalkSeen {
    std::int32_t sender;
    std::int32_t target;
    bool whisper;
    std::string text;
};

std::optional<TalkSeen> next_talk(RawClient& c) {
    auto m = c.next_of(kTalk);
    if (!m) {
        return std::nullopt;
    }
    auto t = decode_talk(m->frame());
    return TalkSeen{t->sender, t->target, t->flag == 1, std::string(t->text, t->textLength)};
}

// Three users in room 1, one in room 2; every arrival already read.
class RoomTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(a.login("alice", 1), 1);
        ASSERT_EQ(b.login("bob", 1), 1);
        ASSERT_EQ(c.login("carol", 1), 1);
        ASSERT_EQ(elsewhere.login("dave", 2), 1);
        ASSERT_TRUE(a.next_of(kEntered));
        ASSERT_TRUE(a.next_of(kEntered));
        ASSERT_TRUE(b.next_of(kEntered));
    }
    void TearDown() override {
        for (RawClient* client : {&a, &b, &c, &elsewhere}) {
            EXPECT_FALSE(client->brokenStream) << "a frame above 500 bytes";
        }
    }

    TestServer server;
    RawClient a{server.port()}, b{server.port()}, c{server.port()}, elsewhere{server.port()};
};

TEST_F(RoomTest, TalkReachesTheWholeRoomSenderIncluded) {
    a.talk(b.id(), "hello room");
    for (RawClient* client : {&a, &b, &c}) {
        auto t = next_talk(*client);
        ASSERT_TRUE(t);
        EXPECT_EQ(t->sender, a.id());
        EXPECT_EQ(t->target, b.id());
        EXPECT_FALSE(t->whisper);
        EXPECT_EQ(t->text, "hello room");
    }
    EXPECT_TRUE(elsewhere.quiet_for());
}

TEST_F(RoomTest, WhisperReachesOnlyTheTargetAndTheSender) {
    a.talk(c.id(), "psst", true);
    for (RawClient* client : {&a, &c}) {
        auto t = next_talk(*client);
        ASSERT_TRUE(t);
        EXPECT_TRUE(t->whisper);
        EXPECT_EQ(t->text, "psst");
    }
    EXPECT_TRUE(b.quiet_for());
    a.talk(elsewhere.id(), "across rooms", true);
    EXPECT_TRUE(elsewhere.quiet_for()) << "a whisper stays in the room";
}

TEST_F(RoomTest, ActionTravelsAsATalk) {
    b.talk(a.id(), std::string("/@/") + '\x05');
    auto t = next_talk(c);
    ASSERT_TRUE(t);
    EXPECT_EQ(t->sender, b.id());
    EXPECT_EQ(t->text, std::string("/@/") + '\x05');
}

TEST_F(RoomTest, SpoofedSenderOrRoomIsDroppedAndTheSessionGoesOn) {
    a.talk_as(b.id(), a.key(), 0, "I am bob");
    LocationKey otherRoom = elsewhere.key();
    a.talk_as(a.id(), otherRoom, 0, "I am in room 2");
    a.send(encode_walk(b.id(), a.key(), 1, 2, 3, 4));
    a.talk(0, "real");
    auto m = b.next();
    ASSERT_TRUE(m);
    ASSERT_EQ(m->type, kTalk) << "the spoofed walk brings no Users updated";
    auto t = decode_talk(m->frame());
    EXPECT_EQ(std::string(t->text, t->textLength), "real") << "the spoofed lines never arrive";
    EXPECT_TRUE(b.quiet_for());
    EXPECT_TRUE(elsewhere.quiet_for());
}

TEST_F(RoomTest, ProfileChangesReachTheRoomSenderIncluded) {
    a.send(encode_walk(a.id(), a.key(), 1.5, -2.0, 3.25, 0.5f));
    char name[] = "alicia";
    a.send(encode_rename(a.id(), a.key(), name, 6));
    a.send(encode_model_change(a.id(), a.key(), 42));
    char picture[] = "face.png";
    a.send(encode_picture_change(a.id(), a.key(), picture, 8));
    for (RawClient* client : {&a, &b, &c}) {
        std::optional<stUserInfo> last;
        for (int i = 0; i < 4; ++i) {
            auto m = client->next_of(kUpdated);
            ASSERT_TRUE(m);
            auto records = records_of(*m);
            ASSERT_EQ(records.size(), 1u);
            last = records[0];
        }
        EXPECT_EQ(last->userId, a.id());
        auto pos = profile::position(*last);
        EXPECT_EQ(pos.x, 1.5);
        EXPECT_EQ(pos.y, -2.0);
        EXPECT_EQ(pos.z, 3.25);
        EXPECT_EQ(pos.fourth, 0.5f);
        EXPECT_EQ(profile::name(*last), "alicia");
        EXPECT_EQ(profile::model(*last), 42);
        EXPECT_EQ(profile::picture(*last), "face.png");
        EXPECT_EQ(profile::room(*last), 1u);
    }
    EXPECT_TRUE(elsewhere.quiet_for());
}

TEST_F(RoomTest, InvalidChangesAreDroppedAndTheSessionGoesOn) {
    auto emptyName = encode_rename(a.id(), a.key(), "", 0);
    a.send(emptyName);
    auto noNul = encode_picture_change(a.id(), a.key(), "", 0);
    std::memset(noNul.data() + 11, 'x', 11);  // eleven bytes fill the field: no NUL
    a.send(noNul);
    a.send(encode_walk(a.id(), a.key(), std::nan(""), 0, 0, 0));
    a.talk(0, "still here");
    auto t = next_talk(b);
    ASSERT_TRUE(t);
    EXPECT_EQ(t->text, "still here");
    EXPECT_TRUE(b.quiet_for()) << "no Users updated for the invalid changes";
}

TEST_F(RoomTest, RoomListOfASmallRoomHoldsTheOthers) {
    b.send(encode_room_list_request(b.key()));
    auto m = b.next_of(kRoomList);
    ASSERT_TRUE(m);
    auto records = records_of(*m);
    ASSERT_EQ(records.size(), 2u);
    std::set<std::int32_t> ids{records[0].userId, records[1].userId};
    EXPECT_EQ(ids, (std::set<std::int32_t>{a.id(), c.id()}));
}

TEST_F(RoomTest, RoomListOfALargeRoomComesAsUsersUpdatedSixAtATime) {
    std::vector<std::unique_ptr<RawClient>> more;
    for (int i = 0; i < 6; ++i) {
        more.push_back(std::make_unique<RawClient>(server.port()));
        ASSERT_EQ(more.back()->login("extra" + std::to_string(i), 1), 1);
    }
    for (int i = 0; i < 6; ++i) {
        ASSERT_TRUE(a.next_of(kEntered));
    }
    a.send(encode_room_list_request(a.key()));
    std::set<std::int32_t> seen;
    std::vector<std::size_t> sizes;
    while (seen.size() < 8) {
        auto m = a.next();
        ASSERT_TRUE(m);
        ASSERT_EQ(m->type, kUpdated) << "a Room list would make the client forget users";
        auto records = records_of(*m);
        sizes.push_back(records.size());
        for (const auto& r : records) {
            seen.insert(r.userId);
        }
    }
    EXPECT_EQ(sizes, (std::vector<std::size_t>{6, 2}));
    EXPECT_EQ(seen.count(a.id()), 0u);
    EXPECT_TRUE(a.quiet_for());
}

}  // namespace
}  // namespace palaver::test
