#include "module/client_state.h"

#include <mutex>

#include "connection/session.h"
#include "module/timing.h"
#include "platform/process_exit.h"

namespace palaver {

ClientState::~ClientState() {
    if (platform::process_exiting()) {
        // The other threads are gone, perhaps inside one of our locks; the
        // socket goes with the process.
        return;
    }
    // A host that unloads the module while logged in: stop the worker threads
    // before the locks and stores they use are gone.
    std::lock_guard<std::mutex> lifecycle(connection.lifecycleLock);
    end_connection_at_unload(*this);
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
