// Applies the server's messages to the room: the receive thread's handlers.
// Fed whole frames in stream order; knows nothing of sockets.
//
// Chat lines are staged outside the locks and handed to the talk queue in
// batches: flush() copies them in under one hold of the queue lock. Any
// message that queues something else flushes first, so the queue keeps stream
// order.
#ifndef PALAVER_CONNECTION_ROOM_UPDATER_H
#define PALAVER_CONNECTION_ROOM_UPDATER_H

#include "Palaver.h"
#include "client/room_state.h"
#include "client/talk_queue.h"
#include "protocol/message.h"

namespace palaver {

class RoomUpdater {
  public:
    explicit RoomUpdater(RoomState& room) : room_(room) {}

    void apply(const Frame& frame);
    // Hands every staged chat line to the talk queue.
    void flush();

  private:
    void user_entered(const Frame& frame);
    void users_left(const Frame& frame);
    void talk(const Frame& frame);
    void users_updated(const Frame& frame);
    void room_list(const Frame& frame);
    void rename_self(const stUserInfo& record);
    void move_staged_locked();

    RoomState& room_;
    PackedLines staged_;  // chat lines read but not yet queued
};

}  // namespace palaver

#endif
