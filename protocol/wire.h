// Little-endian loads and stores at any offset. The wire format aligns
// nothing, so every access goes through bytes.
#ifndef PALAVER_PROTOCOL_WIRE_H
#define PALAVER_PROTOCOL_WIRE_H

#include <cstdint>
#include <cstring>

namespace palaver::wire {

inline std::uint16_t load_u16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

inline std::uint32_t load_u32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

inline std::int32_t load_i32(const std::uint8_t* p) {
    return static_cast<std::int32_t>(load_u32(p));
}

inline void store_u16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}

inline void store_u32(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v >> 16);
    p[3] = static_cast<std::uint8_t>(v >> 24);
}

inline void store_i32(std::uint8_t* p, std::int32_t v) {
    store_u32(p, static_cast<std::uint32_t>(v));
}

inline void store_u64(std::uint8_t* p, std::uint64_t v) {
    store_u32(p, static_cast<std::uint32_t>(v));
    store_u32(p + 4, static_cast<std::uint32_t>(v >> 32));
}

inline std::uint64_t load_u64(const std::uint8_t* p) {
    return static_cast<std::uint64_t>(load_u32(p)) |
           (static_cast<std::uint64_t>(load_u32(p + 4)) << 32);
}

inline void store_f64(std::uint8_t* p, double v) {
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    store_u64(p, bits);
}

inline double load_f64(const std::uint8_t* p) {
    std::uint64_t bits = load_u64(p);
    double v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

inline void store_f32(std::uint8_t* p, float v) {
    std::uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    store_u32(p, bits);
}

inline float load_f32(const std::uint8_t* p) {
    std::uint32_t bits = load_u32(p);
    float v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

// Length of a NUL-terminated text held in a field of `capacity` bytes; a text
// with no NUL ends at the field's end.
inline std::size_t bounded_length(const char* text, std::size_t capacity) {
    const void* nul = std::memchr(text, '\0', capacity);
    return nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - text) : capacity;
}

}  // namespace palaver::wire

#endif
