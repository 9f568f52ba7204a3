// One client: its server address, what it knows of the room, and its
// connection with the locks and the receive thread that serve it. Clients
// share nothing; a process may hold many.
#ifndef PALAVER_LIB_CLIENT_CLIENT_STATE_H
#define PALAVER_LIB_CLIENT_CLIENT_STATE_H

#include <mutex>
#include <string>

#include "lib/client/room_state.h"
#include "lib/client/tls_setting.h"
#include "lib/connection/connection.h"
#include "lib/platform/socket.h"

namespace palaver {

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
