// Palaver: the profile bytes inside stUserInfo.
//
// The library copies bytes 4 to 78 of a user record without reading them past
// the name. palaver-server and Palaver's hosts agree on this layout for them:
//
//   bytes  4..34  name, at most 30 bytes and its NUL
//   bytes 35..38  model, int32
//   bytes 39..49  picture, 11-byte text field (at most 10 bytes and a NUL)
//   bytes 50..73  position x, y, z, three doubles
//   bytes 74..77  fourth walk value, float (a heading, for hosts that draw one)
//   byte  78      always zero
//   bytes 79..82  location key: the room, a 32-bit number, little-endian
//
// Everything is little-endian and unaligned. Header-only: it needs nothing
// from the shared library.
#ifndef PALAVER_PROFILE_H
#define PALAVER_PROFILE_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "palaver_records.h"

// C++11 and later: hosts need not be C++17.
namespace palaver {
namespace profile {

constexpr std::size_t kNameCapacity = 30;   // name bytes 4..33, NUL by byte 34
constexpr std::size_t kModelOffset = 35;    // int32
constexpr std::size_t kPictureOffset = 39;  // 11-byte text field
constexpr std::size_t kPictureCapacity = 10;
constexpr std::size_t kPositionXOffset = 50;  // double
constexpr std::size_t kPositionYOffset = 58;  // double
constexpr std::size_t kPositionZOffset = 66;  // double
constexpr std::size_t kFourthOffset = 74;     // float
constexpr std::size_t kReservedOffset = 78;   // always zero
constexpr std::size_t kRoomOffset = 79;       // the location key

struct Position {
    double x = 0;
    double y = 0;
    double z = 0;
    float fourth = 0;
};

namespace detail {

inline const unsigned char* bytes(const stUserInfo& u) {
    return reinterpret_cast<const unsigned char*>(&u);
}

inline unsigned char* bytes(stUserInfo& u) {
    return reinterpret_cast<unsigned char*>(&u);
}

inline std::uint64_t load_le(const unsigned char* p, std::size_t n) {
    std::uint64_t v = 0;
    for (std::size_t i = n; i-- > 0;) {
        v = (v << 8) | p[i];
    }
    return v;
}

inline void store_le(unsigned char* p, std::uint64_t v, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        p[i] = static_cast<unsigned char>(v >> (8 * i));
    }
}

inline double load_double(const unsigned char* p) {
    const std::uint64_t bits = load_le(p, 8);
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}

inline void store_double(unsigned char* p, double d) {
    std::uint64_t bits;
    std::memcpy(&bits, &d, sizeof bits);
    store_le(p, bits, 8);
}

}  // namespace detail

// The name up to its NUL, or up to byte 78 when a record carries none.
inline std::string name(const stUserInfo& u) {
    const char* p = u.name;
    const void* nul = std::memchr(p, 0, sizeof u.name);
    const std::size_t n = nul ? static_cast<const char*>(nul) - p : sizeof u.name;
    return std::string(p, n);
}

// False (and nothing changed) when the name is longer than 30 bytes.
inline bool set_name(stUserInfo& u, const std::string& name) {
    if (name.size() > kNameCapacity || name.find('\0') != std::string::npos) {
        return false;
    }
    std::memset(u.name, 0, kNameCapacity + 1);
    std::memcpy(u.name, name.data(), name.size());
    return true;
}

inline std::int32_t model(const stUserInfo& u) {
    return static_cast<std::int32_t>(
        static_cast<std::uint32_t>(detail::load_le(detail::bytes(u) + kModelOffset, 4)));
}

inline void set_model(stUserInfo& u, std::int32_t model) {
    detail::store_le(detail::bytes(u) + kModelOffset, static_cast<std::uint32_t>(model), 4);
}

inline std::string picture(const stUserInfo& u) {
    const char* p = reinterpret_cast<const char*>(detail::bytes(u) + kPictureOffset);
    const void* nul = std::memchr(p, 0, kPictureCapacity + 1);
    const std::size_t n = nul ? static_cast<const char*>(nul) - p : kPictureCapacity + 1;
    return std::string(p, n);
}

// False (and nothing changed) when the picture is longer than 10 bytes.
inline bool set_picture(stUserInfo& u, const std::string& picture) {
    if (picture.size() > kPictureCapacity || picture.find('\0') != std::string::npos) {
        return false;
    }
    unsigned char* p = detail::bytes(u) + kPictureOffset;
    std::memset(p, 0, kPictureCapacity + 1);
    std::memcpy(p, picture.data(), picture.size());
    return true;
}

inline Position position(const stUserInfo& u) {
    const unsigned char* b = detail::bytes(u);
    Position pos;
    pos.x = detail::load_double(b + kPositionXOffset);
    pos.y = detail::load_double(b + kPositionYOffset);
    pos.z = detail::load_double(b + kPositionZOffset);
    const auto bits = static_cast<std::uint32_t>(detail::load_le(b + kFourthOffset, 4));
    std::memcpy(&pos.fourth, &bits, sizeof pos.fourth);
    return pos;
}

inline void set_position(stUserInfo& u, const Position& pos) {
    unsigned char* b = detail::bytes(u);
    detail::store_double(b + kPositionXOffset, pos.x);
    detail::store_double(b + kPositionYOffset, pos.y);
    detail::store_double(b + kPositionZOffset, pos.z);
    std::uint32_t bits;
    std::memcpy(&bits, &pos.fourth, sizeof bits);
    detail::store_le(b + kFourthOffset, bits, 4);
    b[kReservedOffset] = 0;
}

// The room a record belongs to: its location key read as a little-endian number.
inline std::uint32_t room(const stUserInfo& u) {
    return static_cast<std::uint32_t>(detail::load_le(u.locationKey, 4));
}

inline void set_room(stUserInfo& u, std::uint32_t room) {
    detail::store_le(u.locationKey, room, 4);
}

}  // namespace profile
}  // namespace palaver

#endif  // PALAVER_PROFILE_H
