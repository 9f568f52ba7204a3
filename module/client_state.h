// The one process-wide client state: the network layer's start-up, the server
// address, the room and the connection. Constructed when the module loads and
// destroyed when it unloads, in the order of its members.
#ifndef PALAVER_MODULE_CLIENT_STATE_H
#define PALAVER_MODULE_CLIENT_STATE_H

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "module/winsock_startup.h"
#include "module/room_state.h"
#include "platform/socket.h"
#include "platform/worker_thread.h"

namespace palaver {

struct Connection {
    // Valid from a successful Login until the connection is ended; changed
    // only under sendLock, so no sender ever writes to a closed handle.
    std::atomic<platform::SocketHandle> socket{platform::kNoSocket};
    std::atomic<bool> stop{false};
    std::atomic<bool> connected{false};

    // One whole message at a time on the socket, from every thread.
    std::timed_mutex sendLock;
    // Login, Logout and unload, one at a time.
    std::mutex lifecycleLock;
    // Wakes the keep-alive thread when the connection ends.
    std::mutex wakeMutex;
    std::condition_variable wake;

    platform::WorkerThread receiver;
    platform::WorkerThread keepAlive;
};

class ClientState {
public:
    ClientState() = default;
    ~ClientState();  // ends a connection that is still open
    ClientState(const ClientState&) = delete;
    ClientState& operator=(const ClientState&) = delete;

    CWinsockStartup network{2, 2};  // first up, last down
    std::atomic<platform::Ipv4Endpoint> server{};  // SetServerIPandPort writes, Login reads
    RoomState room;
    Connection connection;
};

// The module's instance.
ClientState& client_state();

}  // namespace palaver

#endif
