#include <chrono>
#include <mutex>

#include "connection/send.h"
#include "connection/session.h"
#include "module/timing.h"
#include "protocol/client_messages.h"

namespace palaver {

// One KeepAlive every period after Login, until the connection ends or a send
// fails. Waiting on the condition lets end_connection stop it at once.
void keep_alive_thread(void* context) {
    auto& state = *static_cast<ClientState*>(context);
    Connection& c = state.connection;
    std::unique_lock<std::mutex> lock(c.wakeMutex);
    for (;;) {
        auto period = std::chrono::milliseconds(timing().keepAlivePeriodMs.load());
        if (c.wake.wait_for(lock, period, [&c] { return c.stop.load(); })) {
            return;
        }
        lock.unlock();
        bool sent = send_message(c, encode_keep_alive(location_key_of(state.room.self)));
        lock.lock();
        if (!sent) {
            return;
        }
    }
}

}  // namespace palaver
