#include "protocol/client_messages.h"

#include <cstring>

#include "protocol/records.h"
#include "protocol/wire.h"

namespace palaver {
namespace {

void put_header(std::uint8_t* out, std::size_t total, ClientType type) {
    wire::store_u16(out, static_cast<std::uint16_t>(total - kLengthFieldSize));
    out[2] = static_cast<std::uint8_t>(type);
}

template <std::size_t N>
std::array<std::uint8_t, N> start(ClientType type) {
    std::array<std::uint8_t, N> m{};
    put_header(m.data(), N, type);
    return m;
}

// The own id and location key that open most requests, at offsets 3 and 7.
void put_owned(std::uint8_t* out, std::int32_t self, const LocationKey& key) {
    wire::store_i32(out + 3, self);
    std::memcpy(out + 7, key.data(), key.size());
}

OwnedHeader owned_from(const std::uint8_t* payload) {
    OwnedHeader h;
    h.self = wire::load_i32(payload);
    std::memcpy(h.key.data(), payload + 4, h.key.size());
    return h;
}

std::array<std::uint8_t, kShortNoticeSize> key_only(ClientType type, const LocationKey& key) {
    auto m = start<kShortNoticeSize>(type);
    std::memcpy(m.data() + 3, key.data(), key.size());
    return m;
}

FieldText field_text(const Frame& f, std::size_t field) {
    FieldText t;
    t.from = owned_from(f.payload);
    t.text = reinterpret_cast<const char*>(f.payload + 8);
    t.length = wire::bounded_length(t.text, field);
    t.terminated = t.length < field;
    return t;
}

}  // namespace

LocationKey location_key_of(const stUserInfo& user) {
    LocationKey key;
    std::memcpy(key.data(), user.locationKey, key.size());
    return key;
}

std::array<std::uint8_t, kLoginRequestSize> encode_login_request(const stUserInfo& user,
                                                                 const char* login,
                                                                 std::size_t loginLength) {
    auto m = start<kLoginRequestSize>(ClientType::Login);
    std::memcpy(m.data() + 3, &user, kUserInfoSize);
    std::memcpy(m.data() + 86, login,
                loginLength < kLoginStringField ? loginLength : kLoginStringField);
    return m;
}

std::array<std::uint8_t, kShortNoticeSize> encode_logout(const LocationKey& key) {
    return key_only(ClientType::Logout, key);
}

std::array<std::uint8_t, kShortNoticeSize> encode_keep_alive(const LocationKey& key) {
    return key_only(ClientType::KeepAlive, key);
}

std::array<std::uint8_t, kShortNoticeSize> encode_room_list_request(const LocationKey& key) {
    return key_only(ClientType::RoomListRequest, key);
}

std::size_t encode_talk(std::uint8_t* out, std::int32_t sender, std::int32_t target,
                        const LocationKey& key, bool flag, const char* text,
                        std::size_t textLength) {
    std::size_t total = kTalkFixedSize + textLength;
    put_header(out, total, ClientType::Talk);
    wire::store_i32(out + 3, sender);
    wire::store_i32(out + 7, target);
    std::memcpy(out + 11, key.data(), key.size());
    out[15] = flag ? 1 : 0;
    if (textLength > 0) {
        std::memcpy(out + 16, text, textLength);
    }
    out[16 + textLength] = 0;
    return total;
}

std::array<std::uint8_t, kWalkSize> encode_walk(std::int32_t self, const LocationKey& key, double x,
                                                double y, double z, float fourth) {
    auto m = start<kWalkSize>(ClientType::Walk);
    put_owned(m.data(), self, key);
    wire::store_f64(m.data() + 11, x);
    wire::store_f64(m.data() + 19, y);
    wire::store_f64(m.data() + 27, z);
    wire::store_f32(m.data() + 35, fourth);
    return m;
}

std::array<std::uint8_t, kRenameSize> encode_rename(std::int32_t self, const LocationKey& key,
                                                    const char* name, std::size_t nameLength) {
    auto m = start<kRenameSize>(ClientType::Rename);
    put_owned(m.data(), self, key);
    std::memcpy(m.data() + 11, name, nameLength);  // the zeroed field supplies the NUL
    return m;
}

std::array<std::uint8_t, kModelChangeSize> encode_model_change(std::int32_t self,
                                                               const LocationKey& key,
                                                               std::int32_t model) {
    auto m = start<kModelChangeSize>(ClientType::ModelChange);
    put_owned(m.data(), self, key);
    wire::store_i32(m.data() + 11, model);
    return m;
}

std::array<std::uint8_t, kPictureChangeSize> encode_picture_change(std::int32_t self,
                                                                   const LocationKey& key,
                                                                   const char* picture,
                                                                   std::size_t pictureLength) {
    auto m = start<kPictureChangeSize>(ClientType::PictureChange);
    put_owned(m.data(), self, key);
    std::memcpy(m.data() + 11, picture, pictureLength);
    return m;
}

std::array<std::uint8_t, kKickSize> encode_kick(std::int32_t first, std::int32_t second) {
    auto m = start<kKickSize>(ClientType::Kick);
    wire::store_i32(m.data() + 3, first);
    wire::store_i32(m.data() + 7, second);
    return m;
}

std::optional<LoginRequest> decode_login_request(const Frame& f) {
    if (f.type != static_cast<std::uint8_t>(ClientType::Login) ||
        f.size != kLoginRequestSize - kHeaderSize) {
        return std::nullopt;
    }
    LoginRequest r;
    r.user = user_from_bytes(f.payload);
    r.login = reinterpret_cast<const char*>(f.payload + kUserInfoSize);
    r.loginLength = wire::bounded_length(r.login, kLoginStringField);
    return r;
}

std::optional<TalkView> decode_talk(const Frame& f) {
    if (f.size < kChatFixedSize) {
        return std::nullopt;
    }
    TalkView t;
    t.sender = wire::load_i32(f.payload);
    t.target = wire::load_i32(f.payload + 4);
    std::memcpy(t.key.data(), f.payload + 8, t.key.size());
    t.flag = f.payload[12];
    t.text = reinterpret_cast<const char*>(f.payload + kChatFixedSize);
    std::size_t room = f.size - kChatFixedSize;
    t.textLength = wire::bounded_length(t.text, room);
    t.terminated = t.textLength < room;
    return t;
}

std::optional<Walk> decode_walk(const Frame& f) {
    if (f.size != kWalkSize - kHeaderSize) {
        return std::nullopt;
    }
    Walk w;
    w.from = owned_from(f.payload);
    w.x = wire::load_f64(f.payload + 8);
    w.y = wire::load_f64(f.payload + 16);
    w.z = wire::load_f64(f.payload + 24);
    w.fourth = wire::load_f32(f.payload + 32);
    return w;
}

std::optional<FieldText> decode_rename(const Frame& f) {
    if (f.size != kRenameSize - kHeaderSize) {
        return std::nullopt;
    }
    return field_text(f, kNameField);
}

std::optional<ModelChange> decode_model_change(const Frame& f) {
    if (f.size != kModelChangeSize - kHeaderSize) {
        return std::nullopt;
    }
    return ModelChange{owned_from(f.payload), wire::load_i32(f.payload + 8)};
}

std::optional<FieldText> decode_picture_change(const Frame& f) {
    if (f.size != kPictureChangeSize - kHeaderSize) {
        return std::nullopt;
    }
    return field_text(f, kPictureField);
}

std::optional<Kick> decode_kick(const Frame& f) {
    if (f.size != kKickSize - kHeaderSize) {
        return std::nullopt;
    }
    return Kick{wire::load_i32(f.payload), wire::load_i32(f.payload + 4)};
}

std::optional<LocationKey> decode_key_only(const Frame& f) {
    if (f.size != kShortNoticeSize - kHeaderSize) {
        return std::nullopt;
    }
    LocationKey key;
    std::memcpy(key.data(), f.payload, key.size());
    return key;
}

}  // namespace palaver
