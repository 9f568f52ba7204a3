// A session's queue of outgoing buffers, without a socket: what a gathered
// write is offered, and what partial writes leave behind.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "server/write_queue.h"

namespace palaver::server {
namespace {

class WriteQueueTest : public ::testing::Test {
  protected:
    BufferRef buffer(const std::string& text) {
        return pool.copy(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    }
    void push(const std::string& text) { queue.push(buffer(text)); }

    // What the gathered view offers, as text.
    std::string gathered(std::size_t max = WriteQueue::kMaxGather) const {
        std::vector<iovec> blocks(max);
        std::size_t count = queue.gather(blocks.data(), max);
        std::string text;
        for (std::size_t i = 0; i < count; ++i) {
            text += std::string(static_cast<const char*>(blocks[i].iov_base), blocks[i].iov_len);
            text += '|';
        }
        return text;
    }
    std::string copied(std::size_t limit) const {
        std::vector<std::uint8_t> out{'x'};
        queue.copy(out, limit);
        return std::string(out.begin(), out.end());
    }

    BufferPool pool;
    WriteQueue queue;
};

// Partial writes, and both views with and without their limits.
TEST_F(WriteQueueTest, PartialWritesAdvanceAcrossBuffers) {
    push("abc");
    push("defgh");
    push("ij");
    EXPECT_EQ(queue.pending(), 10u);
    EXPECT_EQ(gathered(), "abc|defgh|ij|");

    queue.written(2);
    EXPECT_EQ(gathered(), "c|defgh|ij|");
    EXPECT_EQ(queue.pending(), 10u) << "a buffer counts until it is written whole";

    queue.written(4);
    EXPECT_EQ(gathered(), "gh|ij|");
    EXPECT_EQ(queue.pending(), 7u);
    EXPECT_EQ(pool.idle(), 1u) << "a written buffer goes back to the pool at once";

    EXPECT_EQ(gathered(1), "gh|");
    EXPECT_EQ(copied(3), "ghi");
    queue.written(4);
    EXPECT_TRUE(queue.empty());
    EXPECT_EQ(queue.pending(), 0u);
    EXPECT_EQ(gathered(), "");
    EXPECT_EQ(pool.idle(), 3u);
}

// The limit counts the memory a buffer holds, not its bytes, and the
// server's total follows every queue.
TEST_F(WriteQueueTest, ChargesWhatEachBufferHoldsAgainstTheLimitAndTheTotal) {
    std::size_t total = 0;
    {
        WriteQueue charged(&total);
        BufferRef tiny = buffer("abc");
        const std::size_t c = WriteQueue::charge(*tiny);
        EXPECT_GE(c, 64 + sizeof(PooledBuffer)) << "a block's capacity and object, at least";
        EXPECT_LT(c, 256u) << "a small message sits in a small block";
        EXPECT_GT(WriteQueue::charge(*buffer(std::string(400, 'x'))), 512u);

        EXPECT_TRUE(charged.fits(100 * c, c)) << "an empty queue takes a reply above the limit";
        charged.push(tiny);
        charged.push(buffer("defgh"));
        EXPECT_TRUE(charged.fits(c, 3 * c));
        EXPECT_FALSE(charged.fits(c + 1, 3 * c));
        EXPECT_EQ(total, 2 * c);
        charged.written(4);
        EXPECT_EQ(total, c) << "the first buffer left whole";
        charged.push(tiny);
    }
    EXPECT_EQ(total, 0u) << "a queue gone takes its charge with it";
}

TEST_F(WriteQueueTest, KeepsItsPlaceWhenTheWrittenFrontIsDropped) {
    // Enough one-byte buffers that the written front is dropped on the way.
    const std::size_t total = 3 * WriteQueue::kMaxGather;
    std::string all;
    for (std::size_t i = 0; i < total; ++i) {
        all += static_cast<char>('a' + i % 26);
        push(all.substr(i, 1));
    }
    std::size_t done = 0;
    for (std::size_t step : {700u, 900u, 1u, 1000u, 471u}) {
        queue.written(step);
        done += step;
        EXPECT_EQ(copied(total), all.substr(done)) << "after " << done << " bytes";
        EXPECT_EQ(queue.pending(), total - done);
    }
}

}  // namespace
}  // namespace palaver::server
