#include "lib/client/commands.h"

#include <array>
#include <cstring>
#include <mutex>
#include <vector>

#include "lib/client/error.h"
#include "lib/connection/send.h"
#include "protocol/client_messages.h"
#include "protocol/records.h"

namespace palaver {
namespace {

LocationKey key_of(const ClientState& state) {
    return location_key_of(state.room.self);
}

// Length of `text` when it is at most `limit` bytes; reads no further than
// one byte past the limit. Sets the reason when it refuses.
bool fits(const char* text, std::size_t limit, std::size_t& length) {
    if (text == nullptr) {
        set_error(PALAVER_E_INVALID);
        return false;
    }
    length = 0;
    while (length <= limit && text[length] != '\0') {
        ++length;
    }
    if (length > limit) {
        set_error(PALAVER_E_TOO_LONG);
        return false;
    }
    return true;
}

bool send_talk_text(ClientState& state, int target, const char* text, std::size_t length,
                    bool whisper) {
    // The longest Talk is 317 bytes: it is assembled on the stack.
    std::array<std::uint8_t, kMaxTalkSize> message;
    std::size_t size = encode_talk(message.data(), state.room.self.userId, target, key_of(state),
                                   whisper, text, length);
    return send_message(state.connection, message.data(), size);
}

// A batch goes out in writes of about this size: few system calls, and a
// buffer that stays small however many lines the host hands over.
constexpr std::size_t kBatchWrite = 32 * 1024;

}  // namespace

bool send_talks(ClientState& state, int target, const char* const* texts, std::size_t count,
                bool whisper) {
    if (count > 0 && texts == nullptr) {
        set_error(PALAVER_E_INVALID);
        return false;
    }
    // Each text is measured once: the writes are sized and filled from these.
    std::vector<std::uint16_t> lengths(count);
    for (std::size_t i = 0; i < count; ++i) {
        std::size_t length = 0;
        if (!fits(texts[i], kMaxTalkText, length)) {
            return false;
        }
        lengths[i] = static_cast<std::uint16_t>(length);
    }
    const LocationKey key = key_of(state);
    std::vector<std::uint8_t> batch;
    for (std::size_t first = 0; first < count;) {
        // The next write: whole messages, sized first so that the buffer
        // grows once.
        std::size_t end = first, size = 0;
        for (; end < count && size + kMaxTalkSize <= kBatchWrite; ++end) {
            size += kTalkFixedSize + lengths[end];
        }
        batch.resize(size);
        std::size_t at = 0;
        for (; first < end; ++first) {
            at += encode_talk(batch.data() + at, state.room.self.userId, target, key, whisper,
                              texts[first], lengths[first]);
        }
        if (!send_message(state.connection, batch.data(), at)) {
            return false;
        }
    }
    return true;
}

bool send_talk(ClientState& state, int target, const char* text, bool whisper) {
    std::size_t length;
    if (!fits(text, kMaxTalkText, length)) {
        return false;
    }
    return send_talk_text(state, target, text, length, whisper);
}

bool do_action(ClientState& state, int target, unsigned char action) {
    const char text[] = {'/', '@', '/', static_cast<char>(action)};
    return send_talk_text(state, target, text, action == 0 ? 3 : 4, false);
}

bool walk_to(ClientState& state, double x, double y, double z, float fourth) {
    return send_message(state.connection,
                        encode_walk(state.room.self.userId, key_of(state), x, y, z, fourth));
}

bool change_name(ClientState& state, const char* name) {
    std::size_t length;
    if (!fits(name, kMaxName, length)) {
        return false;
    }
    {
        std::lock_guard<std::mutex> hold(state.room.selfNameLock);
        const stUserInfo& self = state.room.self;
        if (name_length(self) == length && std::memcmp(self.name, name, length) == 0) {
            return true;  // already so named: nothing to ask
        }
    }
    return send_message(state.connection,
                        encode_rename(state.room.self.userId, key_of(state), name, length));
}

bool change_model(ClientState& state, int model) {
    return send_message(state.connection,
                        encode_model_change(state.room.self.userId, key_of(state), model));
}

bool change_picture(ClientState& state, const char* picture) {
    std::size_t length;
    if (!fits(picture, kMaxPicture, length)) {
        return false;
    }
    return send_message(state.connection, encode_picture_change(state.room.self.userId,
                                                                key_of(state), picture, length));
}

bool kick_person(ClientState& state, int first, int second) {
    return send_message(state.connection, encode_kick(first, second));
}

bool request_room_list(ClientState& state) {
    return send_message(state.connection, encode_room_list_request(key_of(state)));
}

}  // namespace palaver
