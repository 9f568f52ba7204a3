#include "module/client_state.h"

#include <mutex>

#include "connection/session.h"
#include "module/timing.h"

namespace palaver {

ClientState::~ClientState() {
    // A host that unloads the module while logged in: stop the worker threads
    // before the locks and stores they use are gone.
    std::lock_guard<std::mutex> lifecycle(connection.lifecycleLock);
    end_connection(*this, true);
}

namespace {

// The module's one client state and its timers, constructed when the module
// loads and destroyed when it unloads.
Timing g_timing;
ClientState g_state;

}  // namespace

ClientState& client_state() {
    return g_state;
}

Timing& timing() {
    return g_timing;
}

}  // namespace palaver
