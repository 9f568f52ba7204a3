// A framed stream reader over one fixed buffer: bytes go in at the end, whole
// messages come out in stream order, and the bytes of a message that is not
// yet whole stay for the next read. No sockets, no allocation.
//
// The capacity is what one read can bring. The server keeps 4 KiB for each of
// its many sessions; a client reads a busy room's lines in fewer, larger reads.
#ifndef PALAVER_PROTOCOL_FRAME_READER_H
#define PALAVER_PROTOCOL_FRAME_READER_H

#include <array>
#include <cstddef>
#include <cstdint>

#include "protocol/message.h"

namespace palaver {

enum class FrameStatus {
    Frame,     // `out` holds the next whole message
    NeedMore,  // the buffer ends inside a message (or is empty)
    Broken,    // a length above 500 was met; the stream is lost for good
};

template <std::size_t Capacity>
class BasicFrameReader {
  public:
    static constexpr std::size_t kCapacity = Capacity;
    static_assert(kCapacity >= 2 * kMaxMessageSize, "a read must always find room");

    using Status = FrameStatus;

    // Room for the next read: where to put bytes and how many fit. Moves a
    // partial message to the front first, so the room is never less than
    // kCapacity - kMaxMessageSize once next() has returned NeedMore.
    std::uint8_t* write_position();
    std::size_t write_room();
    // Accepts `count` bytes just written at write_position().
    void commit(std::size_t count);
    // Copies as many of `bytes` as fit and returns how many were taken.
    std::size_t feed(const std::uint8_t* bytes, std::size_t count);

    Status next(Frame& out);
    // Hands out again, on the next call, the frame next() has just returned
    // (a reader that may not take it yet).
    void put_back(const Frame& frame) { begin_ -= kHeaderSize + frame.size; }

    bool broken() const { return broken_; }
    std::size_t buffered() const { return end_ - begin_; }
    // How many length 0 frames next() has skipped so far: a reader that treats
    // them as hostile (the server) checks this after each next().
    std::size_t empty_frames() const { return emptyFrames_; }

  private:
    void compact();

    // Not zeroed: only bytes written are read, and a client thread touches
    // no more of its buffer than its reads fill.
    std::array<std::uint8_t, kCapacity> buffer_;
    std::size_t begin_ = 0;  // first byte not yet handed out
    std::size_t end_ = 0;    // one past the last byte held
    bool broken_ = false;
    std::size_t emptyFrames_ = 0;
};

using FrameReader = BasicFrameReader<4096>;
using ClientFrameReader = BasicFrameReader<16 * 1024>;

extern template class BasicFrameReader<4096>;
extern template class BasicFrameReader<16 * 1024>;

}  // namespace palaver

#endif
