#include "protocol/login_reply.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <vector>

namespace palaver {
namespace {

stUserInfo record(std::int32_t id) {
    stUserInfo u;
    std::memset(&u, static_cast<int>(id & 0x7F), sizeof u);
    u.userId = id;
    return u;
}

// Keeps the ids it is handed and checks every record arrived whole.
struct Collect : LoginReplyParser::Sink {
    void on_record(const stUserInfo& r, bool own) override {
        stUserInfo expected = record(r.userId);
        EXPECT_EQ(std::memcmp(&r, &expected, sizeof r), 0);
        ids.push_back(r.userId);
        owns.push_back(own);
    }
    std::vector<std::int32_t> ids;
    std::vector<bool> owns;
};

std::vector<std::uint8_t> with_counts(std::int32_t status, std::vector<std::int32_t> counts) {
    std::vector<std::uint8_t> out(4 + 4 * counts.size());
    wire::store_i32(out.data(), status);
    for (std::size_t i = 0; i < counts.size(); ++i) {
        wire::store_i32(out.data() + 4 + 4 * i, counts[i]);
    }
    return out;
}

TEST(LoginReplyParser, ByteByByteGivesTheRecordsInOrderAndMarksOnlyTheFirstAsOwn) {
    auto reply = encode_login_reply(3, {{record(1), record(2)}, {}, {record(3)}});
    Collect sink;
    LoginReplyParser parser;
    for (std::uint8_t byte : reply) {
        ASSERT_NE(parser.state(), LoginReplyParser::State::Done);
        ASSERT_EQ(parser.feed(&byte, 1, sink), 1u);
    }
    EXPECT_EQ(parser.state(), LoginReplyParser::State::Done);
    EXPECT_EQ(parser.wanted(), 0u);
    EXPECT_EQ(sink.ids, (std::vector<std::int32_t>{1, 2, 3}));
    EXPECT_EQ(sink.owns, (std::vector<bool>{true, false, false}));
}

TEST(LoginReplyParser, ReadingWhatItWantsTakesExactlyTheReply) {
    std::vector<stUserInfo> big;
    for (int id = 1; id <= 400; ++id) {
        big.push_back(record(id));
    }
    auto reply = encode_login_reply(2, {big, {record(500)}});
    reply.push_back(0xEE);  // the first byte of what follows the reply
    Collect sink;
    LoginReplyParser parser;
    std::size_t at = 0;
    while (parser.wanted() > 0) {
        ASSERT_LE(parser.wanted(), kGroupBufferSize);
        std::size_t n = parser.wanted();
        ASSERT_LE(at + n, reply.size() - 1) << "asks past the reply";
        at += parser.feed(reply.data() + at, n, sink);
    }
    EXPECT_EQ(at, reply.size() - 1);
    EXPECT_EQ(sink.ids.size(), 401u);
    EXPECT_EQ(sink.ids.back(), 500);

    LoginReplyParser whole;
    Collect again;
    EXPECT_EQ(whole.feed(reply.data(), reply.size(), again), reply.size() - 1);
}

TEST(LoginReplyParser, ARefusalEndsAfterItsStatus) {
    auto reply = encode_login_reply(-3, {{record(1)}});
    ASSERT_EQ(reply.size(), 4u);
    std::vector<std::uint8_t> more = reply;
    more.insert(more.end(), 8, 0);
    Collect sink;
    LoginReplyParser parser;
    EXPECT_FALSE(parser.accepted());
    EXPECT_EQ(parser.feed(more.data(), more.size(), sink), 4u);
    EXPECT_EQ(parser.state(), LoginReplyParser::State::Refused);
    EXPECT_EQ(parser.status(), -3);
    EXPECT_FALSE(parser.accepted());
    EXPECT_TRUE(sink.ids.empty());
}

TEST(LoginReplyParser, CountsOfZeroOrLessAreEmptyGroupsAndTheOwnRecordIsOnlyInTheFirst) {
    auto head = with_counts(3, {0, -7, 1});
    auto r = record(9);
    head.insert(head.end(), reinterpret_cast<std::uint8_t*>(&r),
                reinterpret_cast<std::uint8_t*>(&r) + sizeof r);
    Collect sink;
    LoginReplyParser parser;
    EXPECT_EQ(parser.feed(head.data(), head.size(), sink), head.size());
    EXPECT_EQ(parser.state(), LoginReplyParser::State::Done);
    EXPECT_EQ(sink.owns, (std::vector<bool>{false}));
}

TEST(LoginReplyParser, StatusZeroIsAWholeReplyAndAHugeCountAsksForOneBufferAtATime) {
    Collect sink;
    LoginReplyParser empty;
    auto zero = with_counts(0, {});
    EXPECT_EQ(empty.feed(zero.data(), zero.size(), sink), 4u);
    EXPECT_TRUE(empty.accepted());
    EXPECT_EQ(empty.state(), LoginReplyParser::State::Done);

    LoginReplyParser huge;
    auto head = with_counts(1, {INT_MAX});
    EXPECT_EQ(huge.feed(head.data(), head.size(), sink), 8u);
    EXPECT_TRUE(huge.accepted());
    EXPECT_EQ(huge.wanted(), kGroupBufferSize);
}

}  // namespace
}  // namespace palaver
