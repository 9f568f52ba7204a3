// Framing shared by both directions: a u16 length of what follows (the type
// byte and the payload), the u8 type, then the payload.
#ifndef PALAVER_PROTOCOL_MESSAGE_H
#define PALAVER_PROTOCOL_MESSAGE_H

#include <cstddef>
#include <cstdint>

namespace palaver {

constexpr std::size_t kHeaderSize = 3;  // length field and type byte
constexpr std::size_t kLengthFieldSize = 2;
constexpr std::size_t kMaxLength = 500;  // largest length a receiver accepts
constexpr std::size_t kMaxMessageSize = kMaxLength + kLengthFieldSize;

enum class ClientType : std::uint8_t {
    Login = 1,
    Logout = 2,
    Talk = 3,
    Walk = 5,
    Rename = 6,
    ModelChange = 8,
    PictureChange = 9,
    Kick = 10,
    RoomListRequest = 12,
    KeepAlive = 13,
};

enum class ServerType : std::uint8_t {
    UserEntered = 1,
    UsersLeft = 2,
    Talk = 3,
    UsersUpdated = 11,
    RoomList = 12,
};

// One whole message as it sits in a receive buffer; valid until the buffer
// moves on.
struct Frame {
    std::uint8_t type = 0;
    const std::uint8_t* payload = nullptr;
    std::size_t size = 0;  // payload bytes: the length field minus the type byte
};

}  // namespace palaver

#endif
