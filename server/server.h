// A whole server on one event loop: the listener, the shared state and the
// sessions. run() serves until stop(), which any thread may call.
#ifndef PALAVER_SERVER_SERVER_H
#define PALAVER_SERVER_SERVER_H

#include <cstdint>
#include <memory>

#include "server/listener.h"
#include "server/log.h"
#include "server/net.h"
#include "server/server_state.h"
#include "server/settings.h"

namespace palaver::server {

namespace cluster {
class Cluster;
}

class Server {
  public:
    // Binds at once; throws asio::system_error when it cannot, and
    // std::runtime_error when it cannot join its cluster's bus.
    Server(Settings settings, Log& log);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    std::uint16_t port() const { return listener_.endpoint().port(); }
    tcp::endpoint endpoint() const { return listener_.endpoint(); }
    asio::io_context& context() { return io_; }

    void run();
    // Stops accepting, closes every session and lets run() return.
    void stop();

  private:
    // The state outlives the event loop: sessions that the loop still holds
    // when it is destroyed point at it.
    ServerState state_;
    asio::io_context io_;
    Listener listener_;
    std::unique_ptr<cluster::Cluster> cluster_;  // before the loop goes: it posts to it
};

}  // namespace palaver::server

#endif
