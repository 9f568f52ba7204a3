#include "protocol/server_messages.h"

#include <algorithm>
#include <cstring>

#include "protocol/wire.h"

namespace palaver {
namespace {

std::size_t put_header(std::uint8_t* out, std::size_t payload, ServerType type) {
    wire::store_u16(out, static_cast<std::uint16_t>(payload + 1));
    out[2] = static_cast<std::uint8_t>(type);
    return kHeaderSize + payload;
}

std::size_t encode_records(std::uint8_t* out, ServerType type, const stUserInfo* users,
                           std::size_t count) {
    count = std::min(count, kMaxRecordsPerMessage);
    if (count > 0) {
        std::memcpy(out + kHeaderSize, users, count * kUserInfoSize);
    }
    return put_header(out, count * kUserInfoSize, type);
}

}  // namespace

std::array<std::uint8_t, kUserEnteredSize> encode_user_entered(const stUserInfo& user) {
    std::array<std::uint8_t, kUserEnteredSize> m{};
    put_header(m.data(), kUserInfoSize, ServerType::UserEntered);
    std::memcpy(m.data() + kHeaderSize, &user, kUserInfoSize);
    return m;
}

std::size_t encode_users_left(std::uint8_t* out, const std::int32_t* ids, std::size_t count) {
    count = std::min(count, kMaxIdsPerMessage);
    for (std::size_t i = 0; i < count; ++i) {
        wire::store_i32(out + kHeaderSize + 4 * i, ids[i]);
    }
    return put_header(out, 4 * count, ServerType::UsersLeft);
}

std::size_t encode_users_updated(std::uint8_t* out, const stUserInfo* users, std::size_t count) {
    return encode_records(out, ServerType::UsersUpdated, users, count);
}

std::size_t encode_room_list(std::uint8_t* out, const stUserInfo* users, std::size_t count) {
    return encode_records(out, ServerType::RoomList, users, count);
}

std::int32_t RecordList::id(std::size_t i) const {
    return wire::load_i32(data_ + i * kUserInfoSize);
}

std::int32_t IdList::operator[](std::size_t i) const {
    return wire::load_i32(data_ + 4 * i);
}

std::optional<stUserInfo> decode_user_entered(const Frame& f) {
    if (f.size < kUserInfoSize) {
        return std::nullopt;
    }
    return user_from_bytes(f.payload);
}

}  // namespace palaver
