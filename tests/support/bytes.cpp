#include "bytes.h"

#include <cstring>
#include <stdexcept>

namespace palaver::test {

ByteWriter& ByteWriter::u8(std::uint8_t v) {
    bytes_.push_back(v);
    return *this;
}

ByteWriter& ByteWriter::u16(std::uint16_t v) {
    return u8(static_cast<std::uint8_t>(v)).u8(static_cast<std::uint8_t>(v >> 8));
}

ByteWriter& ByteWriter::i32(std::int32_t v) {
    auto u = static_cast<std::uint32_t>(v);
    for (int shift = 0; shift < 32; shift += 8) {
        u8(static_cast<std::uint8_t>(u >> shift));
    }
    return *this;
}

ByteWriter& ByteWriter::f32(float v) {
    std::uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return i32(static_cast<std::int32_t>(bits));
}

ByteWriter& ByteWriter::f64(double v) {
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    i32(static_cast<std::int32_t>(bits & 0xFFFFFFFFu));
    return i32(static_cast<std::int32_t>(bits >> 32));
}

ByteWriter& ByteWriter::raw(const void* data, std::size_t size) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    bytes_.insert(bytes_.end(), p, p + size);
    return *this;
}

ByteWriter& ByteWriter::field(const std::string& s, std::size_t width) {
    if (s.size() > width) {
        throw std::invalid_argument("text longer than its field");
    }
    return text(s).fill(width - s.size());
}

ByteWriter& ByteWriter::fill(std::size_t count, std::uint8_t value) {
    bytes_.insert(bytes_.end(), count, value);
    return *this;
}

Bytes frame(std::uint8_t type, const Bytes& payload) {
    return frame_with_length(static_cast<std::uint16_t>(payload.size() + 1), type, payload);
}

Bytes frame_with_length(std::uint16_t length, std::uint8_t type, const Bytes& payload) {
    return ByteWriter().u16(length).u8(type).raw(payload);
}

std::string hex(const Bytes& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i > 0) {
            out += i % 16 == 0 ? '\n' : ' ';
        }
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
    return out;
}

}  // namespace palaver::test
