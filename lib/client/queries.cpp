#include "lib/client/queries.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <mutex>

namespace palaver {
namespace {

// Moves the whole store to the end of the host's vector under the store's
// lock: each element reaches the host exactly once. Room is made first, so
// that running out of memory leaves both sides as they were; the moves
// themselves cannot fail. The store's old buffer is freed after the lock.
template <typename T>
void drain(std::mutex& lock, std::vector<T>& store, std::vector<T>& out) {
    std::vector<T> released;
    std::lock_guard<std::mutex> hold(lock);
    if (store.empty()) {
        return;
    }
    if (out.empty()) {
        out.swap(store);
        released.swap(store);
        return;
    }
    try {
        out.reserve(out.size() + store.size());
    } catch (...) {
        return;
    }
    out.insert(out.end(), std::make_move_iterator(store.begin()),
               std::make_move_iterator(store.end()));
    released.swap(store);
}

}  // namespace

void copy_users(RoomState& room, std::set<stUserInfo>& out) {
    std::set<stUserInfo> copy;
    try {
        std::lock_guard<std::mutex> hold(room.userLock);
        copy = room.users;
    } catch (...) {
        return;
    }
    // Splices the nodes the host lacks; ids it holds keep its own records.
    out.merge(copy);
}

void drain_talk(RoomState& room, std::vector<stChatContent>& out) {
    std::lock_guard<std::mutex> hold(room.queueLock);
    try {
        room.talk.drain_into(out);
    } catch (...) {
        // Out of memory: the queue and the host's vector stay as they were.
    }
}

void drain_actions(RoomState& room, std::vector<stActionContent>& out) {
    drain(room.queueLock, room.actions, out);
}

std::size_t copy_users(RoomState& room, stUserInfo* out, std::size_t capacity,
                       std::size_t& written) {
    std::lock_guard<std::mutex> hold(room.userLock);
    written = std::min(capacity, room.users.size());
    std::copy_n(room.users.begin(), written, out);
    // Only a copy of the whole set takes the mark, so a size probe leaves it
    // for the copy that follows. Taken under the lock: a change after it marks
    // again.
    if (written == room.users.size()) {
        room.events.take_users_changed();
    }
    return room.users.size() - written;
}

std::size_t take_talk(RoomState& room, palaver_chat_line* out, std::size_t capacity,
                      std::size_t& written) {
    std::lock_guard<std::mutex> hold(room.queueLock);
    written = room.talk.take(
        capacity, [&out](std::int32_t sender, std::int32_t target, const std::uint8_t* key,
                         bool flag, const char* text, std::size_t length) {
            palaver_chat_line& line = *out++;
            line.sender = sender;
            line.target = target;
            std::memcpy(line.locationKey, key, 4);
            line.whisper = flag ? 1 : 0;
            // A queued text never exceeds a message; the bound is kept all the same.
            length = std::min<std::size_t>(length, PALAVER_TEXT_MAX);
            line.length = static_cast<std::uint16_t>(length);
            std::memcpy(line.text, text, length);
            line.text[length] = '\0';
        });
    return room.talk.size();
}

std::size_t take_actions(RoomState& room, stActionContent* out, std::size_t capacity,
                         std::size_t& written) {
    std::lock_guard<std::mutex> hold(room.queueLock);
    written = std::min(capacity, room.actions.size());
    std::copy_n(room.actions.begin(), written, out);
    room.actions.erase(room.actions.begin(),
                       room.actions.begin() + static_cast<std::ptrdiff_t>(written));
    return room.actions.size();
}

int pending_events(RoomState& room) {
    int events = 0;
    {
        std::lock_guard<std::mutex> hold(room.queueLock);
        events |= room.talk.empty() ? 0 : PALAVER_EVENT_TALK;
        events |= room.actions.empty() ? 0 : PALAVER_EVENT_ACTION;
    }
    events |= room.events.users_changed() ? PALAVER_EVENT_USERS : 0;
    events |= room.events.broken() ? PALAVER_EVENT_DISCONNECTED : 0;
    return events;
}

}  // namespace palaver
