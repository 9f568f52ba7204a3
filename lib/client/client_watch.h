// Who watches one client's events besides its waits: the level-triggered
// descriptor a host's loop polls, and the poller the client belongs to.
// Both are told of every change through RoomEvents' watch, and cost nothing
// until the host asks for either.
//
// Lock order: a poller's membership lock, this watch's lock, the room's
// event lock and queue lock, then a poller's ready lock (a leaf).
#ifndef PALAVER_LIB_CLIENT_CLIENT_WATCH_H
#define PALAVER_LIB_CLIENT_CLIENT_WATCH_H

#include <memory>
#include <mutex>

#include "lib/client/room_state.h"
#include "lib/platform/event_signal.h"

namespace palaver {

class ClientWatch : public EventWatch {
  public:
    // A poller: told that a member may have something (it looks itself).
    class Listener {
      public:
        virtual void member_changed(void* member) = 0;

      protected:
        ~Listener() = default;
    };

    explicit ClientWatch(RoomState& room) : room_(room) {}

    // The level signal, made at the first call; null when the system has none.
    platform::EventSignal* signal();
    void changed() override;

    // Joins `listener` as `member`; false when the client is another's member.
    bool join(Listener* listener, void* member);
    // Leaves `listener`, giving the name it joined as; false when the
    // client was not its member.
    bool leave(Listener* listener, void** member = nullptr);
    Listener* listener();

  private:
    // Raises or lowers the signal to what a wait would report now.
    void update_signal();

    RoomState& room_;
    std::mutex lock_;
    std::unique_ptr<platform::EventSignal> signal_;  // under lock_
    Listener* listener_ = nullptr;                   // under lock_
    void* member_ = nullptr;                         // under lock_
};

}  // namespace palaver

#endif
