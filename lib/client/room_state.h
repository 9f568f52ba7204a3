// What the library knows of the room: the own record and the three stores the
// receive thread fills and the host's queries read, with the locks that guard
// them.
#ifndef PALAVER_LIB_CLIENT_ROOM_STATE_H
#define PALAVER_LIB_CLIENT_ROOM_STATE_H

#include <mutex>
#include <set>
#include <vector>

#include "Palaver.h"
#include "lib/client/room_events.h"
#include "lib/client/talk_queue.h"

namespace palaver {

struct RoomState {
    // Written whole only by Login, before the worker threads start; its name
    // later by the receive thread. The host reads it through a bare pointer.
    stUserInfo self{};
    std::set<stUserInfo> users;            // the other users; guarded by userLock
    TalkQueue talk;                        // guarded by queueLock
    std::vector<stActionContent> actions;  // guarded by queueLock

    // Lock order: userLock before queueLock, never the other way round.
    std::mutex queueLock;
    std::mutex userLock;
    // Serialises the library's own writes and reads of self.name.
    std::mutex selfNameLock;

    // Wakes hosts waiting for something to read.
    RoomEvents events;
};

}  // namespace palaver

#endif
