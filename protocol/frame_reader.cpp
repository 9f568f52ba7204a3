#include "protocol/frame_reader.h"

#include <algorithm>
#include <cstring>

#include "protocol/wire.h"

namespace palaver {

template <std::size_t Capacity>
void BasicFrameReader<Capacity>::compact() {
    if (begin_ == end_) {
        begin_ = end_ = 0;
    } else if (begin_ > 0) {
        std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
        end_ -= begin_;
        begin_ = 0;
    }
}

template <std::size_t Capacity>
std::uint8_t* BasicFrameReader<Capacity>::write_position() {
    compact();
    return buffer_.data() + end_;
}

template <std::size_t Capacity>
std::size_t BasicFrameReader<Capacity>::write_room() {
    compact();
    return kCapacity - end_;
}

template <std::size_t Capacity>
void BasicFrameReader<Capacity>::commit(std::size_t count) {
    end_ += std::min(count, kCapacity - end_);
}

template <std::size_t Capacity>
std::size_t BasicFrameReader<Capacity>::feed(const std::uint8_t* bytes, std::size_t count) {
    std::size_t taken = std::min(count, write_room());
    std::memcpy(buffer_.data() + end_, bytes, taken);
    end_ += taken;
    return taken;
}

template <std::size_t Capacity>
FrameStatus BasicFrameReader<Capacity>::next(Frame& out) {
    for (;;) {
        if (broken_) {
            return Status::Broken;
        }
        std::size_t held = end_ - begin_;
        if (held < kLengthFieldSize) {
            return Status::NeedMore;
        }
        const std::uint8_t* start = buffer_.data() + begin_;
        std::size_t length = wire::load_u16(start);
        if (length == 0) {
            // A length counts the type byte, so 0 carries nothing: skip it.
            begin_ += kLengthFieldSize;
            ++emptyFrames_;
            continue;
        }
        if (length > kMaxLength) {
            broken_ = true;
            return Status::Broken;
        }
        if (held < kLengthFieldSize + length) {
            return Status::NeedMore;
        }
        out.type = start[kLengthFieldSize];
        out.payload = start + kHeaderSize;
        out.size = length - 1;
        begin_ += kLengthFieldSize + length;
        return Status::Frame;
    }
}

template class BasicFrameReader<4096>;
template class BasicFrameReader<16 * 1024>;

}  // namespace palaver
