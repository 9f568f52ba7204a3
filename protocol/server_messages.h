// Messages from the server to a client: encoded by the server (and the tests'
// fake servers), decoded by the library's receive thread. Talks travel in the
// layout of client_messages.h.
#ifndef PALAVER_PROTOCOL_SERVER_MESSAGES_H
#define PALAVER_PROTOCOL_SERVER_MESSAGES_H

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "palaver_records.h"
#include "protocol/message.h"
#include "protocol/records.h"

namespace palaver {

constexpr std::size_t kUserEnteredSize = kHeaderSize + kUserInfoSize;            // 86
constexpr std::size_t kMaxRecordsPerMessage = (kMaxLength - 1) / kUserInfoSize;  // 6
constexpr std::size_t kMaxIdsPerMessage = (kMaxLength - 1) / 4;                  // 124

std::array<std::uint8_t, kUserEnteredSize> encode_user_entered(const stUserInfo& user);
// Each writes into `out` (room for kMaxMessageSize bytes) and returns the
// size; counts above the per-message maximum are cut to it.
std::size_t encode_users_left(std::uint8_t* out, const std::int32_t* ids, std::size_t count);
std::size_t encode_users_updated(std::uint8_t* out, const stUserInfo* users, std::size_t count);
std::size_t encode_room_list(std::uint8_t* out, const stUserInfo* users, std::size_t count);
// The sizes those return, for a block made to measure.
constexpr std::size_t users_left_size(std::size_t count) {
    return kHeaderSize + 4 * std::min(count, kMaxIdsPerMessage);
}
constexpr std::size_t record_list_size(std::size_t count) {
    return kHeaderSize + kUserInfoSize * std::min(count, kMaxRecordsPerMessage);
}

// Records of a User entered, Users updated or Room list message, in place.
class RecordList {
  public:
    explicit RecordList(const Frame& f) : data_(f.payload), count_(f.size / kUserInfoSize) {}
    std::size_t size() const { return count_; }
    stUserInfo operator[](std::size_t i) const {
        return user_from_bytes(data_ + i * kUserInfoSize);
    }
    std::int32_t id(std::size_t i) const;

  private:
    const std::uint8_t* data_;
    std::size_t count_;
};

// The ids of a Users left message; bytes after the last whole id are ignored.
class IdList {
  public:
    explicit IdList(const Frame& f) : data_(f.payload), count_(f.size / 4) {}
    std::size_t size() const { return count_; }
    std::int32_t operator[](std::size_t i) const;

  private:
    const std::uint8_t* data_;
    std::size_t count_;
};

// A User entered message carries exactly one whole record; a shorter one
// carries nothing.
std::optional<stUserInfo> decode_user_entered(const Frame& f);

}  // namespace palaver

#endif
