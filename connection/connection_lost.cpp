#include <mutex>

#include "connection/session.h"

namespace palaver {

void connection_lost(Connection& c, platform::SocketHandle s) {
    c.connected.store(false);
    c.stop.store(true);
    {
        // Taken so the keep-alive thread is either waiting or will see the flag.
        std::lock_guard<std::mutex> hold(c.wakeMutex);
    }
    c.wake.notify_all();
    // Wakes the receive thread and tells the server; the handle itself stays
    // open until the host's Logout or next Login closes it.
    platform::shutdown_both(s);
}

}  // namespace palaver
