#include "messages.h"

#include <algorithm>
#include <cstring>

#include "protocol/login_reply.h"
#include "protocol/message.h"
#include "protocol/server_messages.h"

namespace palaver::test {
namespace {

template <class Encode>
Bytes encoded(Encode&& encode) {
    Bytes out(kMaxMessageSize);
    out.resize(encode(out.data()));
    return out;
}

}  // namespace

stUserInfo user(std::int32_t id, const std::string& name, Key key, std::uint8_t profile) {
    stUserInfo u;
    std::memset(&u, profile, sizeof u);
    u.userId = id;
    // A name that fills the whole field goes without its NUL.
    std::size_t length = std::min(name.size(), sizeof u.name);
    std::memcpy(u.name, name.data(), length);
    if (length < sizeof u.name) {
        u.name[length] = '\0';
    }
    std::memcpy(u.locationKey, key.data(), key.size());
    return u;
}

std::string name_of(const stUserInfo& user) {
    const void* nul = std::memchr(user.name, '\0', sizeof user.name);
    std::size_t length = nul ? static_cast<const char*>(nul) - user.name : sizeof user.name;
    return std::string(user.name, length);
}

Bytes bytes_of(const stUserInfo& user) {
    return ByteWriter().raw(&user, sizeof user);
}

Bytes login_request(const stUserInfo& user, const std::string& login) {
    return ByteWriter().u16(104).u8(1).raw(&user, sizeof user).field(login, 20);
}

Bytes login_reply(std::int32_t status, const std::vector<std::vector<stUserInfo>>& groups) {
    return encode_login_reply(status, groups);
}

Bytes user_entered(const stUserInfo& user) {
    auto m = encode_user_entered(user);
    return Bytes(m.begin(), m.end());
}

Bytes users_left(const std::vector<std::int32_t>& ids) {
    return encoded(
        [&](std::uint8_t* out) { return encode_users_left(out, ids.data(), ids.size()); });
}

Bytes users_updated(const std::vector<stUserInfo>& users) {
    return encoded(
        [&](std::uint8_t* out) { return encode_users_updated(out, users.data(), users.size()); });
}

Bytes room_list(const std::vector<stUserInfo>& users) {
    return encoded(
        [&](std::uint8_t* out) { return encode_room_list(out, users.data(), users.size()); });
}

Bytes talk(std::int32_t sender, std::int32_t target, const std::string& text, std::uint8_t flag,
           Key key, bool terminator) {
    ByteWriter payload;
    payload.i32(sender).i32(target).raw(key.data(), key.size()).u8(flag).text(text);
    if (terminator) {
        payload.u8(0);
    }
    return frame(3, payload);
}

std::string arrival(const std::string& name) {
    return name + "\x20\xB5\xC7\xC2\xBC\xC1\xCB\xA3\xA1";
}

std::string departure(const std::string& name) {
    return name + "\x20\xCD\xCB\xB3\xF6\xC1\xCB\xA3\xA1";
}

std::string renamed(const std::string& before, const std::string& after) {
    return before + "\x20\xB8\xC4\xC3\xFB\xCE\xAA\x3A\x20" + after;
}

}  // namespace palaver::test
