// The one process-wide client state: the network layer's start-up, the server
// address, the room and the connection. Constructed when the module loads and
// destroyed when it unloads, in the order of its members.
#ifndef PALAVER_MODULE_CLIENT_STATE_H
#define PALAVER_MODULE_CLIENT_STATE_H

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "module/room_state.h"
#include "module/winsock_startup.h"
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
    // Opening, ending and handing over the connection, one at a time. Held
    // only briefly: a Login waits for its server without it.
    std::mutex lifecycleLock;
    // One Login at a time: a second waits for the one in progress.
    std::mutex loginLock;
    // Logouts so far: a Login that began before the latest one gives up.
    std::atomic<unsigned> logouts{0};
    // Wakes the keep-alive thread when the connection ends.
    std::mutex wakeMutex;
    std::condition_variable wake;

    platform::WorkerThread receiver;
    platform::WorkerThread keepAlive;
};

// The server's address: SetServerIPandPort writes it, Login reads it, perhaps
// on different threads. A lock rather than an atomic of the whole endpoint,
// which not every compiler makes lock-free.
class ServerAddress {
  public:
    void store(const platform::Ipv4Endpoint& endpoint) {
        std::lock_guard<std::mutex> hold(lock_);
        endpoint_ = endpoint;
    }
    platform::Ipv4Endpoint load() const {
        std::lock_guard<std::mutex> hold(lock_);
        return endpoint_;
    }

  private:
    mutable std::mutex lock_;
    platform::Ipv4Endpoint endpoint_{};
};

class ClientState {
  public:
    ClientState() = default;
    ~ClientState();  // ends a connection that is still open
    ClientState(const ClientState&) = delete;
    ClientState& operator=(const ClientState&) = delete;

    CWinsockStartup network{2, 2};  // first up, last down
    ServerAddress server;
    RoomState room;
    Connection connection;
};

// The module's instance.
ClientState& client_state();

}  // namespace palaver

#endif
