// Messages from a client to the server: encoded by the library, decoded by
// the server. Every encoder writes the whole message and returns its size.
#ifndef PALAVER_PROTOCOL_CLIENT_MESSAGES_H
#define PALAVER_PROTOCOL_CLIENT_MESSAGES_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "palaver_records.h"
#include "protocol/message.h"

namespace palaver {

using LocationKey = std::array<std::uint8_t, 4>;

constexpr std::size_t kLoginStringField = 20;
constexpr std::size_t kLoginRequestSize = 106;
constexpr std::size_t kShortNoticeSize = 7;  // Logout, KeepAlive, Room list request
constexpr std::size_t kTalkFixedSize = 17;   // header, ids, key, flag and the text's NUL
constexpr std::size_t kMaxTalkText = 300;
constexpr std::size_t kMaxTalkSize = kTalkFixedSize + kMaxTalkText;
constexpr std::size_t kWalkSize = 39;
constexpr std::size_t kRenameSize = 42;
constexpr std::size_t kNameField = 31;
constexpr std::size_t kMaxName = kNameField - 1;
constexpr std::size_t kModelChangeSize = 15;
constexpr std::size_t kPictureChangeSize = 22;
constexpr std::size_t kPictureField = 11;
constexpr std::size_t kMaxPicture = kPictureField - 1;
constexpr std::size_t kKickSize = 11;

constexpr std::uint8_t kActionMarker[] = {'/', '@', '/'};
constexpr std::size_t kActionMarkerSize = sizeof kActionMarker;

LocationKey location_key_of(const stUserInfo& user);

// `login` holds `loginLength` bytes, at most 20; with fewer than 20 a NUL
// follows them in the field.
std::array<std::uint8_t, kLoginRequestSize> encode_login_request(const stUserInfo& user,
                                                                 const char* login,
                                                                 std::size_t loginLength);
std::array<std::uint8_t, kShortNoticeSize> encode_logout(const LocationKey& key);
std::array<std::uint8_t, kShortNoticeSize> encode_keep_alive(const LocationKey& key);
std::array<std::uint8_t, kShortNoticeSize> encode_room_list_request(const LocationKey& key);
// Writes 17 + textLength bytes into `out`; textLength is at most 300. The
// server relays Talks in the same layout.
std::size_t encode_talk(std::uint8_t* out, std::int32_t sender, std::int32_t target,
                        const LocationKey& key, bool flag, const char* text,
                        std::size_t textLength);
std::array<std::uint8_t, kWalkSize> encode_walk(std::int32_t self, const LocationKey& key, double x,
                                                double y, double z, float fourth);
// `name` holds at most 30 bytes.
std::array<std::uint8_t, kRenameSize> encode_rename(std::int32_t self, const LocationKey& key,
                                                    const char* name, std::size_t nameLength);
std::array<std::uint8_t, kModelChangeSize> encode_model_change(std::int32_t self,
                                                               const LocationKey& key,
                                                               std::int32_t model);
// `picture` holds at most 10 bytes.
std::array<std::uint8_t, kPictureChangeSize> encode_picture_change(std::int32_t self,
                                                                   const LocationKey& key,
                                                                   const char* picture,
                                                                   std::size_t pictureLength);
std::array<std::uint8_t, kKickSize> encode_kick(std::int32_t first, std::int32_t second);

// Decoders. Each takes a whole frame and returns nothing when the payload's
// size does not fit the type. Texts are views into the frame.
struct LoginRequest {
    stUserInfo user;
    const char* login;  // up to its NUL or the field's end
    std::size_t loginLength;
};

struct TalkView {
    std::int32_t sender;
    std::int32_t target;
    LocationKey key;
    std::uint8_t flag;  // the raw byte; only 1 means set
    const char* text;   // up to its NUL, or the frame's end when it has none
    std::size_t textLength;
    bool terminated;  // a NUL ended the text inside the frame
};

struct OwnedHeader {  // the own id and location key opening most requests
    std::int32_t self;
    LocationKey key;
};

struct Walk {
    OwnedHeader from;
    double x, y, z;
    float fourth;
};

struct FieldText {  // a fixed-width text field of a request
    OwnedHeader from;
    const char* text;
    std::size_t length;
    bool terminated;  // a NUL lies inside the field
};

struct ModelChange {
    OwnedHeader from;
    std::int32_t model;
};

struct Kick {
    std::int32_t first;
    std::int32_t second;
};

std::optional<LoginRequest> decode_login_request(const Frame& f);
std::optional<TalkView> decode_talk(const Frame& f);  // both directions
std::optional<Walk> decode_walk(const Frame& f);
std::optional<FieldText> decode_rename(const Frame& f);
std::optional<ModelChange> decode_model_change(const Frame& f);
std::optional<FieldText> decode_picture_change(const Frame& f);
std::optional<Kick> decode_kick(const Frame& f);
// Logout, KeepAlive and Room list request carry only the location key.
std::optional<LocationKey> decode_key_only(const Frame& f);

}  // namespace palaver

#endif
