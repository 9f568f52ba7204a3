#include <memory>
#include <new>

#include "lib/connection/keep_alive.h"
#include "lib/connection/lifecycle.h"
#include "lib/connection/receiver.h"
#include "lib/connection/send.h"
#include "lib/connection/tls_stream.h"

namespace palaver {
namespace {

// Reads until the connection ends or the stop flag is seen. A read that times
// out gives the loop a chance to look at the flag and the KeepAlive clock:
// the receive time-out is no longer than the KeepAlive period, so an idle
// connection wakes the loop in time; a busy one wakes it with every read.
void run_receive(ClientState& state) {
    Connection& c = state.connection;
    const platform::SocketHandle s = c.socket.load();
    TlsStream* const tls = c.tls.get();  // set before this loop starts, reset after it ends
    auto receiver = std::make_unique<Receiver>(state.room);
    KeepAliveClock keepAlive;
    while (!c.stop.load()) {
        const Receiver::Read read = receiver->read_once(c, s, tls);
        if (keepAlive.due() && !send_keep_alive(c, location_key_of(state.room.self))) {
            return;
        }
        if (read == Receiver::Read::Ended) {
            return;
        }
        if (read == Receiver::Read::Some) {
            state.room.events.notify();
        }
    }
}

}  // namespace

void receive_thread(void* context) {
    auto& state = *static_cast<ClientState*>(context);
    Connection& c = state.connection;
    for (;;) {
        try {
            run_receive(state);
        } catch (const std::bad_alloc&) {
            // Out of memory: the connection ends as it would on a broken stream.
        }
        // Ended by the host (Logout, a new Login, freeing the client), which
        // shuts the socket down itself once its goodbye is out; or broken,
        // perhaps under a sender, which shut it down already.
        if (c.hostEnding.load()) {
            return;
        }
        // Ended first, told after (reconnect_from_thread tells the waits): a
        // host woken by the break finds the client no longer connected. A
        // client that reconnects reads on with the new connection.
        connection_lost(c, c.socket.load());
        if (!reconnect_from_thread(state)) {
            return;
        }
    }
}

}  // namespace palaver
