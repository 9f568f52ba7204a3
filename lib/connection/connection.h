// One client's connection to its server: the socket, the TLS session, the
// locks that order sends and the connection's life, and the receive thread.
// Its functions (login, the receive loop, logout) are in lifecycle.h.
//
// Lock order: loginLock, lifecycleLock, sendLock, then the TLS session's own
// lock (tls_stream.h). The room's locks (client/room_state.h) come after
// these: no connection lock is taken while a room lock is held.
#ifndef PALAVER_LIB_CONNECTION_CONNECTION_H
#define PALAVER_LIB_CONNECTION_CONNECTION_H

#include <atomic>
#include <memory>
#include <mutex>

#include "lib/connection/reconnect.h"
#include "lib/connection/send_lock.h"
#include "lib/platform/socket.h"
#include "lib/platform/worker_thread.h"

namespace palaver {

class TlsStream;
struct DrivenState;

struct Connection {
    Connection();
    ~Connection();

    // A host-driven client's state, made with the client and never changed;
    // null for a threaded client (lib/connection/host_driven.h).
    std::unique_ptr<DrivenState> driven;

    // Valid from a successful Login until the connection is ended; changed
    // only under sendLock, so no sender ever writes to a closed handle.
    std::atomic<platform::SocketHandle> socket{platform::kNoSocket};
    std::atomic<bool> stop{false};        // the receive thread ends
    std::atomic<bool> hostEnding{false};  // by the host's wish, not a break
    std::atomic<bool> connected{false};

    // One whole message at a time on the socket, from every thread.
    SendLock sendLock;
    // How long a send may wait for the system to take its bytes, and a
    // sender for the send lock; set by the host at any time, read per send.
    static constexpr int kSendLimitMs = 10000;
    std::atomic<int> sendLimitMs{kSendLimitMs};
    // The limit the socket was given (set_send_limit), 0 for none yet:
    // under sendLock, and back to 0 with the socket.
    int socketSendLimitMs = 0;
    // The TLS session when the host asked for one, else null: the plain
    // path costs nothing more. Set and reset under sendLock, like the socket.
    std::unique_ptr<TlsStream> tls;
    // Opening, ending and handing over the connection, one at a time. Held
    // only briefly: a Login waits for its server without it.
    std::mutex lifecycleLock;
    // One Login at a time: a second waits for the one in progress.
    std::mutex loginLock;
    // Logouts so far: a Login that began before the latest one gives up.
    std::atomic<unsigned> logouts{0};
    // The client is being freed: every Login gives up, whenever it began.
    std::atomic<bool> closing{false};

    // Reads the server's messages and sends the KeepAlives; never started
    // for a host-driven client.
    platform::WorkerThread receiver;

    // Logging in again after a break, when the host asked for it.
    Reconnect reconnect;
};

}  // namespace palaver

#endif
