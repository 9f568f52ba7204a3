#include "lib/api/default_client.h"

#include <mutex>

#include "lib/connection/lifecycle.h"
#include "lib/platform/process_exit.h"

namespace palaver {
namespace {

struct ModuleState {
    ~ModuleState() {
        // Unloaded while logged in: the worker threads are released once they
        // have left the library's code (a join could not return here on
        // Windows), before the client's locks and stores go.
        std::lock_guard<std::mutex> lifecycle(client.connection.lifecycleLock);
        client.connection.logouts.fetch_add(1);
        end_connection_at_unload(client);
    }

    CWinsockStartup network{2, 2};  // first up, last down
    ClientState client;
};

// Constructed when the module loads, destroyed when it unloads, but left alone
// when the whole process ends with the module loaded: other threads are gone
// by then, perhaps while holding one of our locks or the heap's, and
// everything goes with the process anyway.
union ModuleHolder {
    ModuleHolder() : state() {}
    ~ModuleHolder() {
        if (!platform::process_exiting()) {
            state.~ModuleState();
        }
    }
    ModuleState state;
};

ModuleHolder g_module;

}  // namespace

ClientState& default_client() {
    return g_module.state.client;
}

const CWinsockStartup& network() {
    return g_module.state.network;
}

}  // namespace palaver
