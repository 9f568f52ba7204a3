// Accepts connections and starts a session for each that its address's
// limits let in (ServerState::admit): plain ones, or with a TLS context,
// sessions that shake hands first.
#ifndef PALAVER_SERVER_LISTENER_H
#define PALAVER_SERVER_LISTENER_H

#include <memory>

#include "server/accept_loop.h"
#include "server/net.h"

namespace asio::ssl {
class context;
}

namespace palaver::server {

class ServerState;

class Listener {
  public:
    // Throws asio::system_error when the address cannot be bound. With
    // `reusePort` other processes may listen on the same port too.
    Listener(asio::io_context& io, const tcp::endpoint& endpoint, ServerState& state,
             bool reusePort = false, std::shared_ptr<asio::ssl::context> tls = nullptr);

    void start();
    void close();
    tcp::endpoint endpoint() const;

  private:
    void take(tcp::socket socket);

    tcp::acceptor acceptor_;
    ServerState& state_;
    AcceptLoop<tcp> loop_;
    std::shared_ptr<asio::ssl::context> tls_;
};

}  // namespace palaver::server

#endif
