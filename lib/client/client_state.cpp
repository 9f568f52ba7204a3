#include "lib/client/client_state.h"

#include <mutex>

#include "lib/connection/lifecycle.h"

namespace palaver {

ClientState::~ClientState() {
    // A client freed while logged in: its receive thread stops before the
    // locks and stores it uses are gone.
    std::lock_guard<std::mutex> lifecycle(connection.lifecycleLock);
    connection.logouts.fetch_add(1);
    end_connection(*this, true);
    room.events.watch(nullptr);  // the watch goes before the room
}

}  // namespace palaver
