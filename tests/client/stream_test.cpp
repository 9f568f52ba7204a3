// The receive stream over a real socket: messages cut across TCP segments,
// dripped, packed together, straddling the 4096-byte read, and malformed
// lengths.
#include "client_test.h"
#include "lib/api/default_client.h"
#include "lib/platform/socket.h"

namespace palaver::test {
namespace {

class StreamTest : public ClientTest {
  protected:
    void SetUp() override {
        ClientTest::SetUp();
        if (!HasFatalFailure()) {
            log_in({user(5, "anna")});
        }
    }

    // Talks of varied lengths whose texts name them.
    static Bytes talks(int from, int count, std::vector<std::string>& texts) {
        Bytes out;
        for (int i = from; i < from + count; ++i) {
            texts.push_back("line " + std::to_string(i) + std::string(i % 37, '.'));
            out = concat(out, talk(5, kSelfId, texts.back()));
        }
        return out;
    }

    // Talks that end exactly at `offset` into the stream `out` (at least 17
    // bytes away), each within the 500-byte limit.
    static void pad_to(Bytes& out, std::size_t offset, std::vector<std::string>& texts) {
        while (out.size() < offset) {
            std::size_t rest = offset - out.size();
            std::size_t size = rest > 502 ? (rest - 502 < 17 ? 300 : 502) : rest;
            texts.push_back(std::string(size - 17, static_cast<char>('a' + texts.size() % 26)));
            out = concat(out, talk(5, kSelfId, texts.back()));
        }
    }

    static std::vector<std::string> texts_of(const std::vector<stChatContent>& lines) {
        std::vector<std::string> texts;
        for (const auto& l : lines) {
            texts.push_back(l.text);
        }
        return texts;
    }
};

TEST_F(StreamTest, SeveralMessagesInOneSegmentAreHandledInOrder) {
    server.send(concat(talk(5, kSelfId, "one"), user_entered(user(8, "carl")), talk(5, 8, "two"),
                       users_left({5}), talk(8, 5, "three")));
    auto lines = sync();
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0].text, "one");
    EXPECT_EQ(lines[1].text, arrival("carl"));
    EXPECT_EQ(lines[2].text, "two");
    EXPECT_EQ(lines[3].text, departure("anna"));
    EXPECT_EQ(lines[4].text, "three");
}

TEST_F(StreamTest, AMessageCutAnywhereIsCompletedFromTheNextSegment) {
    Bytes message = talk(5, kSelfId, "cut me anywhere");
    // In the length field, after it, after the type, inside the payload, and
    // with the next message's start riding on the second piece.
    for (std::size_t cut : {1, 2, 3, 10, 20}) {
        server.send_split(concat(message, talk(5, kSelfId, "follower")), {cut});
        auto lines = sync();
        ASSERT_EQ(lines.size(), 2u) << "cut at " << cut;
        EXPECT_EQ(lines[0].text, "cut me anywhere");
        EXPECT_EQ(lines[1].text, "follower");
    }
}

TEST_F(StreamTest, DrippedBytesGiveTheSameMessages) {
    server.drip(concat(talk(5, kSelfId, "slowly"), user_entered(user(8, "carl")), users_left({8})));
    auto lines = sync();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].text, "slowly");
    EXPECT_EQ(lines[1].text, arrival("carl"));
    EXPECT_EQ(lines[2].text, departure("carl"));
}

TEST_F(StreamTest, AMessageAcrossThe4096ByteReadIsCompleted) {
    // The first read takes at most 4096 bytes; a message starts 1 byte (its
    // length field cut) or 40 bytes before that end.
    for (std::size_t before : {1, 40}) {
        std::vector<std::string> texts;
        Bytes stream;
        pad_to(stream, 4096 - before, texts);
        stream = concat(stream, talks(0, 30, texts));
        server.send_split(stream, {4096});
        EXPECT_EQ(texts_of(sync()), texts) << before;
    }
}

TEST_F(StreamTest, ALongBurstArrivesWholeAndInOrder) {
    std::vector<std::string> texts;
    Bytes stream = talks(0, 2000, texts);
    server.send(stream);
    EXPECT_EQ(texts_of(sync()), texts);
}

TEST_F(StreamTest, LengthZeroAndUnknownTypesAreSkippedByTheirLength) {
    Bytes stream = concat(Bytes{0, 0}, frame(4, Bytes(19, 3)), Bytes{0, 0}, frame(0, Bytes(19, 1)),
                          frame(7, Bytes(19, 1)), frame(13, Bytes(19, 1)), frame(255, {}),
                          talk(5, kSelfId, "after"));
    server.send(stream);
    auto lines = sync();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text, "after");
    EXPECT_TRUE(chatComunicate::IsConnected());
}

TEST_F(StreamTest, Length500IsHandledAnd501EndsTheConnectionAfterWhatCameBefore) {
    Bytes longest = talk(5, kSelfId, std::string(485, 'L'));
    ASSERT_EQ(longest.size(), 502u);
    server.send(
        concat(longest, frame_with_length(501, 3, Bytes(500, 'x')), talk(5, kSelfId, "never")));
    ASSERT_TRUE(eventually([] { return !chatComunicate::IsConnected(); }));
    std::vector<stChatContent> lines;
    chatComunicate::GetTalk(lines);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text, std::string(485, 'L'));
}

class QuietStreamTest : public ClientTest {};

TEST_F(QuietStreamTest, ReceiveTimeoutsBetweenAndInsideMessagesLoseNothing) {
    // The short time-out goes on the live connection; a first line ends the
    // read that started with the old one.
    log_in();
    ASSERT_TRUE(platform::set_receive_timeout(default_client().connection.socket.load(), 50));
    sync();
    server.stall(150ms);  // several empty reads
    server.send_split(concat(talk(5, kSelfId, "late"), talk(5, kSelfId, "later")), {5, 30}, 150ms);
    auto lines = sync();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].text, "late");
    EXPECT_EQ(lines[1].text, "later");
    EXPECT_TRUE(chatComunicate::IsConnected());
}

}  // namespace
}  // namespace palaver::test
