// One client: its server address, what it knows of the room, and its
// connection with the locks and the receive thread that serve it. Clients
// share nothing; a process may hold many.
#ifndef PALAVER_CLIENT_CLIENT_STATE_H
#define PALAVER_CLIENT_CLIENT_STATE_H

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "client/room_state.h"
#include "client/tls_setting.h"
#include "platform/socket.h"
#include "platform/worker_thread.h"

namespace palaver {

class TlsStream;

struct Connection {
    Connection();
    ~Connection();

    // Valid from a successful Login until the connection is ended; changed
    // only under sendLock, so no sender ever writes to a closed handle.
    std::atomic<platform::SocketHandle> socket{platform::kNoSocket};
    std::atomic<bool> stop{false};        // the receive thread ends
    std::atomic<bool> hostEnding{false};  // by the host's wish, not a break
    std::atomic<bool> connected{false};

    // One whole message at a time on the socket, from every thread.
    std::timed_mutex sendLock;
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

    // Reads the server's messages and sends the KeepAlives.
    platform::WorkerThread receiver;
};

// The server's address, and the name or literal the host gave for it (what
// a TLS certificate must match): set by one thread, read by Login on another.
// A lock rather than an atomic of the whole endpoint, which no compiler makes
// lock-free.
class ServerAddress {
  public:
    void store(const platform::Endpoint& endpoint, const char* name) {
        std::lock_guard<std::mutex> hold(lock_);
        endpoint_ = endpoint;
        name_ = name;
    }
    platform::Endpoint load(std::string* name = nullptr) const {
        std::lock_guard<std::mutex> hold(lock_);
        if (name != nullptr) {
            *name = name_;
        }
        return endpoint_;
    }

  private:
    mutable std::mutex lock_;
    platform::Endpoint endpoint_{};
    std::string name_;
};

class ClientState {
  public:
    ClientState() = default;
    ~ClientState();  // ends a connection that is still open
    ClientState(const ClientState&) = delete;
    ClientState& operator=(const ClientState&) = delete;

    ServerAddress server;
    TlsSetting tls;
    RoomState room;
    Connection connection;
};

}  // namespace palaver

#endif
