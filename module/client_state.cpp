#include "module/client_state.h"

#include <mutex>

#include "connection/session.h"
#include "module/timing.h"
#include "platform/process_exit.h"

namespace palaver {

ClientState::~ClientState() {
    // A host that unloads the module while logged in: stop the worker threads
    // before the locks and stores they use are gone.
    std::lock_guard<std::mutex> lifecycle(connection.lifecycleLock);
    connection.logouts.fetch_add(1);
    end_connection_at_unload(*this);
}

namespace {

// Holds the module's one client state: constructed when the module loads,
// destroyed when it unloads, but left alone when the whole process ends with
// the module loaded. Other threads are gone by then, perhaps while holding one
// of our locks or the heap's, and everything goes with the process anyway.
union StateHolder {
    StateHolder() : state() {}
    ~StateHolder() {
        if (!platform::process_exiting()) {
            state.~ClientState();
        }
    }
    ClientState state;
};

Timing g_timing;
StateHolder g_holder;

}  // namespace

ClientState& client_state() {
    return g_holder.state;
}

Timing& timing() {
    return g_timing;
}

}  // namespace palaver
