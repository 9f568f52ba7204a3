#include "protocol/frame_reader.h"

#include <gtest/gtest.h>

#include <vector>

namespace palaver {
namespace {

std::vector<std::uint8_t> frame(std::uint16_t length, std::uint8_t type, std::uint8_t fill = 0xAB) {
    std::vector<std::uint8_t> bytes{static_cast<std::uint8_t>(length),
                                    static_cast<std::uint8_t>(length >> 8)};
    if (length > 0) {
        bytes.push_back(type);
        bytes.insert(bytes.end(), length - 1u, fill);
    }
    return bytes;
}

TEST(FrameReader, YieldsWholeFramesInOrderAndKeepsAPartialOne) {
    auto a = frame(5, 3, 1);
    auto b = frame(20, 4, 2);
    std::vector<std::uint8_t> stream = a;
    stream.insert(stream.end(), b.begin(), b.end());

    FrameReader reader;
    ASSERT_EQ(reader.feed(stream.data(), a.size() + 7), a.size() + 7);
    Frame f;
    ASSERT_EQ(reader.next(f), FrameReader::Status::Frame);
    EXPECT_EQ(f.type, 3);
    EXPECT_EQ(f.size, 4u);
    EXPECT_EQ(reader.next(f), FrameReader::Status::NeedMore);

    std::size_t rest = stream.size() - a.size() - 7;
    ASSERT_EQ(reader.feed(stream.data() + a.size() + 7, rest), rest);
    ASSERT_EQ(reader.next(f), FrameReader::Status::Frame);
    EXPECT_EQ(f.type, 4);
    EXPECT_EQ(f.size, 19u);
    EXPECT_EQ(f.payload[18], 2);
    EXPECT_EQ(reader.next(f), FrameReader::Status::NeedMore);
}

TEST(FrameReader, DripFedBytesGiveTheSameFrames) {
    std::vector<std::uint8_t> stream;
    for (std::uint16_t len : {1, 86, 500, 3}) {
        auto m = frame(len, static_cast<std::uint8_t>(len % 256), static_cast<std::uint8_t>(len));
        stream.insert(stream.end(), m.begin(), m.end());
    }
    FrameReader reader;
    std::vector<std::size_t> sizes;
    for (std::uint8_t byte : stream) {
        ASSERT_EQ(reader.feed(&byte, 1), 1u);
        Frame f;
        while (reader.next(f) == FrameReader::Status::Frame) {
            sizes.push_back(f.size);
        }
    }
    EXPECT_EQ(sizes, (std::vector<std::size_t>{0, 85, 499, 2}));
}

TEST(FrameReader, SkipsLengthZeroAndStopsForGoodAbove500) {
    std::vector<std::uint8_t> stream = frame(0, 0);
    auto ok = frame(500, 11);
    auto bad = frame(501, 3);
    auto after = frame(5, 3);
    for (auto* part : {&ok, &bad, &after}) {
        stream.insert(stream.end(), part->begin(), part->end());
    }
    FrameReader reader;
    std::size_t fed = reader.feed(stream.data(), stream.size());
    ASSERT_EQ(fed, stream.size());
    Frame f;
    ASSERT_EQ(reader.next(f), FrameReader::Status::Frame);
    EXPECT_EQ(f.type, 11);
    EXPECT_EQ(f.size, 499u);
    EXPECT_EQ(reader.next(f), FrameReader::Status::Broken);
    EXPECT_EQ(reader.next(f), FrameReader::Status::Broken);
    EXPECT_TRUE(reader.broken());
}

// Fills the buffer so that the last message straddles its end.
template <typename Reader>
void complete_a_frame_across_the_buffer_end() {
    std::vector<std::uint8_t> stream;
    while (stream.size() < Reader::kCapacity - 40) {
        auto m = frame(57, 3);
        stream.insert(stream.end(), m.begin(), m.end());
    }
    auto last = frame(200, 12, 7);
    stream.insert(stream.end(), last.begin(), last.end());
    ASSERT_GT(stream.size(), Reader::kCapacity);

    Reader reader;
    std::size_t offset = 0, frames = 0;
    Frame f;
    while (offset < stream.size()) {
        std::size_t room = reader.write_room();
        ASSERT_GT(room, 0u);
        offset += reader.feed(stream.data() + offset, stream.size() - offset);
        while (reader.next(f) == FrameStatus::Frame) {
            ++frames;
        }
    }
    EXPECT_EQ(f.type, 12);
    EXPECT_EQ(f.size, 199u);
    EXPECT_EQ(f.payload[198], 7);
    EXPECT_EQ(reader.buffered(), 0u);
    EXPECT_GT(frames, 60u);
}

TEST(FrameReader, AFrameAcrossTheBufferEndIsCompleted) {
    complete_a_frame_across_the_buffer_end<FrameReader>();
    complete_a_frame_across_the_buffer_end<ClientFrameReader>();
}

}  // namespace
}  // namespace palaver
