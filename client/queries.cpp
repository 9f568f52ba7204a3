#include "client/queries.h"

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

}  // namespace palaver
