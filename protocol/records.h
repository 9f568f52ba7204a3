// The wire and memory layout of the exported records, checked at compile
// time, and the profile layout that the server and our hosts agree on inside
// the bytes of stUserInfo that the library itself never reads.
#ifndef PALAVER_PROTOCOL_RECORDS_H
#define PALAVER_PROTOCOL_RECORDS_H

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "PalaverProfile.h"
#include "palaver_records.h"
#include "protocol/wire.h"

namespace palaver {

constexpr std::size_t kUserInfoSize = 83;
constexpr std::size_t kNameOffset = 4;
constexpr std::size_t kNameFieldEnd = 79;  // a name with no NUL ends before this byte
constexpr std::size_t kLocationKeyOffset = 79;
constexpr std::size_t kLocationKeySize = 4;
constexpr std::size_t kChatFixedSize = 13;  // sender, target, key, flag

static_assert(sizeof(stUserInfo) == kUserInfoSize, "stUserInfo is 83 packed bytes");
static_assert(offsetof(stUserInfo, userId) == 0, "user id at byte 0");
static_assert(offsetof(stUserInfo, name) == kNameOffset, "name at byte 4");
static_assert(sizeof(stUserInfo::name) == kNameFieldEnd - kNameOffset, "name field to byte 78");
static_assert(offsetof(stUserInfo, locationKey) == kLocationKeyOffset, "location key at 79");
static_assert(sizeof(stActionContent) == 9, "stActionContent is 9 packed bytes");
static_assert(offsetof(stActionContent, target) == 4, "action target at byte 4");
static_assert(offsetof(stActionContent, action) == 8, "action code at byte 8");

// The profile layout (palaver::profile) is public: PalaverProfile.h.

inline const std::uint8_t* bytes_of(const stUserInfo& u) {
    return reinterpret_cast<const std::uint8_t*>(&u);
}

inline std::uint8_t* bytes_of(stUserInfo& u) {
    return reinterpret_cast<std::uint8_t*>(&u);
}

// The record's name length: up to its NUL, or to byte 78 when it has none.
inline std::size_t name_length(const stUserInfo& u) {
    return wire::bounded_length(u.name, sizeof u.name);
}

inline stUserInfo user_from_bytes(const std::uint8_t* p) {
    stUserInfo u;
    std::memcpy(&u, p, kUserInfoSize);
    return u;
}

}  // namespace palaver

#endif
