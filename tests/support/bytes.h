// Byte strings for scripting the wire: a little-endian writer that lays out
// messages field by field, independent of the library's own encoders, so a
// test can state what the bytes must be without asking the code under test.
#ifndef PALAVER_TESTS_SUPPORT_BYTES_H
#define PALAVER_TESTS_SUPPORT_BYTES_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace palaver::test {

using Bytes = std::vector<std::uint8_t>;

class ByteWriter {
  public:
    ByteWriter& u8(std::uint8_t v);
    ByteWriter& u16(std::uint16_t v);
    ByteWriter& i32(std::int32_t v);
    ByteWriter& f32(float v);
    ByteWriter& f64(double v);
    ByteWriter& raw(const void* data, std::size_t size);
    ByteWriter& raw(const Bytes& bytes) { return raw(bytes.data(), bytes.size()); }
    // The text's bytes, no terminator.
    ByteWriter& text(const std::string& s) { return raw(s.data(), s.size()); }
    // The text in a field of `width` bytes, zero-filled after it.
    ByteWriter& field(const std::string& s, std::size_t width);
    ByteWriter& fill(std::size_t count, std::uint8_t value = 0);

    std::size_t size() const { return bytes_.size(); }
    const Bytes& bytes() const { return bytes_; }
    operator Bytes() const { return bytes_; }

  private:
    Bytes bytes_;
};

// A framed message: the length field (type byte plus payload) and the type.
Bytes frame(std::uint8_t type, const Bytes& payload);
// The same with a length field stated outright, for malformed frames.
Bytes frame_with_length(std::uint16_t length, std::uint8_t type, const Bytes& payload);

template <class... More>
Bytes concat(Bytes first, const More&... more) {
    (first.insert(first.end(), more.begin(), more.end()), ...);
    return first;
}

// Hex dump for failure messages.
std::string hex(const Bytes& bytes);

}  // namespace palaver::test

#endif
