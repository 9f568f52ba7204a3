// A whole server on one event loop: the listener, the shared state and the
// sessions. run() serves until stop(), which any thread may call.
#ifndef PALAVER_SERVER_SERVER_H
#define PALAVER_SERVER_SERVER_H

#include <cstdint>

#include "server/listener.h"
#include "server/log.h"
#include "server/net.h"
#include "server/server_state.h"
#include "server/settings.h"

namespace palaver::server {

class Server {
  public:
    // Binds at once; throws asio::system_error when it cannot.
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
};

}  // namespace palaver::server

#endif
