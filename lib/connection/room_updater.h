// Applies the server's messages to the room: the receive thread's handlers.
// Fed whole frames in stream order; knows nothing of sockets.
//
// Chat lines and actions go straight into the talk queue and the action list
// under one hold of the queue lock, taken at the first of them and kept until
// flush(): one lock per read, not per line, and no staging copy. Any message
// that needs another lock flushes first, so the lock order (userLock before
// queueLock) holds.
#ifndef PALAVER_LIB_CONNECTION_ROOM_UPDATER_H
#define PALAVER_LIB_CONNECTION_ROOM_UPDATER_H

#include <mutex>

#include "Palaver.h"
#include "lib/client/room_state.h"
#include "lib/client/talk_queue.h"
#include "protocol/message.h"

namespace palaver {

class RoomUpdater {
  public:
    explicit RoomUpdater(RoomState& room) : room_(room) {}

    void apply(const Frame& frame);
    // Lets go of the queue lock, if held: the read's lines are the host's.
    void flush();

  private:
    void user_entered(const Frame& frame);
    void users_left(const Frame& frame);
    void talk(const Frame& frame);
    void users_updated(const Frame& frame);
    void room_list(const Frame& frame);
    void rename_self(const stUserInfo& record);
    // Queues a notice of a change already made to the user set.
    void announce(stChatContent notice);
    void hold_queue();

    RoomState& room_;
    std::unique_lock<std::mutex> queueHold_;  // on room_.queueLock, while a read's lines go in
};

}  // namespace palaver

#endif
