// A framed stream reader over one fixed 4096-byte buffer: bytes go in at the
// end, whole messages come out in stream order, and the bytes of a message
// that is not yet whole stay for the next read. No sockets, no allocation.
#ifndef PALAVER_PROTOCOL_FRAME_READER_H
#define PALAVER_PROTOCOL_FRAME_READER_H

#include <array>
#include <cstddef>
#include <cstdint>

#include "protocol/message.h"

namespace palaver {

class FrameReader {
public:
    static constexpr std::size_t kCapacity = 4096;

    enum class Status {
        Frame,     // `out` holds the next whole message
        NeedMore,  // the buffer ends inside a message (or is empty)
        Broken,    // a length above 500 was met; the stream is lost for good
    };

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

    bool broken() const { return broken_; }
    std::size_t buffered() const { return end_ - begin_; }
    // How many length 0 frames next() has skipped so far: a reader that treats
    // them as hostile (the server) checks this after each next().
    std::size_t empty_frames() const { return emptyFrames_; }

private:
    void compact();

    std::array<std::uint8_t, kCapacity> buffer_{};
    std::size_t begin_ = 0;  // first byte not yet handed out
    std::size_t end_ = 0;    // one past the last byte held
    bool broken_ = false;
    std::size_t emptyFrames_ = 0;
};

}  // namespace palaver

#endif
