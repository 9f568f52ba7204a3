#include "lib/connection/lifecycle.h"

namespace palaver {

void connection_lost(Connection& c, platform::SocketHandle s) {
    c.stop.store(true);
    c.connected.store(false);
    // Wakes the receive thread and tells the server; the handle itself stays
    // open until the host's Logout or next Login closes it.
    platform::shutdown_both(s);
}

}  // namespace palaver
