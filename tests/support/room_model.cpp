#include "room_model.h"

#include <cstring>

namespace palaver::test {
namespace {

constexpr std::size_t kRecord = 83;

std::int32_t i32(const std::uint8_t* p) {
    return static_cast<std::int32_t>(
        static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
        static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24);
}

std::string name(const stUserInfo& u) {
    std::size_t n = 0;
    while (n < sizeof u.name && u.name[n] != '\0') {
        ++n;
    }
    return std::string(u.name, n);
}

stUserInfo record(const std::uint8_t* p) {
    stUserInfo u;
    std::memcpy(&u, p, kRecord);
    return u;
}

void notice(RoomModel& m, const std::string& text) {
    ModelLine line{-2, -2, {0, 0, 0, 0}, false, text};
    m.talk.push_back(line);
}

void on_user_entered(RoomModel& m, const std::uint8_t* p, std::size_t size) {
    if (size < kRecord) {
        return;
    }
    stUserInfo u = record(p);
    if (u.userId != m.self.userId) {
        m.users.emplace(u.userId, u);
    }
    notice(m, name(u) + "\x20\xB5\xC7\xC2\xBC\xC1\xCB\xA3\xA1");
}

void on_users_left(RoomModel& m, const std::uint8_t* p, std::size_t size) {
    for (std::size_t i = 0; i + 4 <= size; i += 4) {
        auto found = m.users.find(i32(p + i));
        if (found != m.users.end()) {
            notice(m, name(found->second) + "\x20\xCD\xCB\xB3\xF6\xC1\xCB\xA3\xA1");
            m.users.erase(found);
        }
    }
}

void on_talk(RoomModel& m, const std::uint8_t* p, std::size_t size) {
    if (size < 13) {
        return;
    }
    const char* text = reinterpret_cast<const char*>(p + 13);
    std::size_t length = 0;
    while (13 + length < size && text[length] != '\0') {
        ++length;
    }
    if (length >= 3 && std::memcmp(text, "/@/", 3) == 0) {
        stActionContent a{i32(p), i32(p + 4), static_cast<unsigned char>(length > 3 ? text[3] : 0)};
        for (auto& entry : m.actions) {
            if (entry.sender == a.sender && entry.target == a.target) {
                entry.action = a.action;
                return;
            }
        }
        m.actions.push_back(a);
        return;
    }
    ModelLine line{
        i32(p), i32(p + 4), {p[8], p[9], p[10], p[11]}, p[12] == 1, std::string(text, length)};
    m.talk.push_back(line);
}

void on_users_updated(RoomModel& m, const std::uint8_t* p, std::size_t size) {
    for (std::size_t i = 0; i + kRecord <= size; i += kRecord) {
        stUserInfo u = record(p + i);
        if (u.userId == m.self.userId) {
            // The own name keeps a NUL inside its field: at most 74 bytes.
            std::string n = name(u).substr(0, sizeof u.name - 1);
            std::memcpy(m.self.name, n.data(), n.size());
            m.self.name[n.size()] = '\0';
            continue;
        }
        auto found = m.users.find(u.userId);
        if (found == m.users.end()) {
            continue;
        }
        if (name(found->second) != name(u)) {
            notice(m, name(found->second) + "\x20\xB8\xC4\xC3\xFB\xCE\xAA\x3A\x20" + name(u));
        }
        found->second = u;
    }
}

void on_room_list(RoomModel& m, const std::uint8_t* p, std::size_t size) {
    m.users.clear();
    for (std::size_t i = 0; i + kRecord <= size; i += kRecord) {
        stUserInfo u = record(p + i);
        if (u.userId != m.self.userId) {
            m.users.emplace(u.userId, u);
        }
    }
}

}  // namespace

std::size_t RoomModel::run(const std::uint8_t* stream, std::size_t size) {
    std::size_t at = 0;
    while (size - at >= 2) {
        std::size_t length = stream[at] | static_cast<std::size_t>(stream[at + 1]) << 8;
        if (length == 0) {
            at += 2;
            continue;
        }
        if (length > 500 || size - at - 2 < length) {
            break;
        }
        const std::uint8_t* payload = stream + at + 3;
        std::size_t payloadSize = length - 1;
        switch (stream[at + 2]) {
            case 1:
                on_user_entered(*this, payload, payloadSize);
                break;
            case 2:
                on_users_left(*this, payload, payloadSize);
                break;
            case 3:
                on_talk(*this, payload, payloadSize);
                break;
            case 11:
                on_users_updated(*this, payload, payloadSize);
                break;
            case 12:
                on_room_list(*this, payload, payloadSize);
                break;
            default:
                break;
        }
        at += 2 + length;
    }
    return at;
}

}  // namespace palaver::test
