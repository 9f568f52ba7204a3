// One client: its server address, what it knows of the room, and its
// connection with the locks and the receive thread that serve it. Clients
// share nothing; a process may hold many.
#ifndef PALAVER_LIB_CLIENT_CLIENT_STATE_H
#define PALAVER_LIB_CLIENT_CLIENT_STATE_H

#include <mutex>
#include <string>
#include <utility>

#include "lib/client/client_watch.h"
#include "lib/client/room_state.h"
#include "lib/client/tls_setting.h"
#include "lib/connection/connection.h"
#include "lib/platform/socket.h"

namespace palaver {

// Where Login connects: the address found when the host set it, the name or
// literal the host gave (what a TLS certificate must match), and whether
// Login looks that name up again and tries each of its addresses.
struct ServerTarget {
    platform::Endpoint endpoint{};
    std::string name;
    bool lookUpAtLogin = false;
};

// The server's target: set by one thread, read by Login on another. A lock
// rather than an atomic, which no compiler makes lock-free for this.
class ServerAddress {
  public:
    void store(ServerTarget target) {
        std::lock_guard<std::mutex> hold(lock_);
        target_ = std::move(target);
    }
    ServerTarget load() const {
        std::lock_guard<std::mutex> hold(lock_);
        return target_;
    }

  private:
    mutable std::mutex lock_;
    ServerTarget target_;
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
    ClientWatch watch{room};
    Connection connection;
};

}  // namespace palaver

#endif
