// A whole server on one event loop: the listeners (plain, TLS or both), the
// shared state and the sessions. run() serves until stop(), which any thread may call.
#ifndef PALAVER_SERVER_SERVER_H
#define PALAVER_SERVER_SERVER_H

#include <cstdint>
#include <memory>
#include <optional>

#include "server/listener.h"
#include "server/log.h"
#include "server/net.h"
#include "server/server_state.h"
#include "server/settings.h"

namespace palaver::server {

namespace cluster {
class Cluster;
}
class ControlServer;

class Server {
  public:
    // Binds at once; throws asio::system_error when it cannot, and
    // std::runtime_error when it cannot join its cluster's bus or load its
    // TLS certificate and key.
    Server(Settings settings, Log& log);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // The plain listener's; port 0 and an empty endpoint without one.
    std::uint16_t port() const { return endpoint().port(); }
    tcp::endpoint endpoint() const { return listener_ ? listener_->endpoint() : tcp::endpoint(); }
    // The TLS listener's, likewise.
    std::uint16_t tls_port() const { return tls_endpoint().port(); }
    tcp::endpoint tls_endpoint() const {
        return tlsListener_ ? tlsListener_->endpoint() : tcp::endpoint();
    }
    asio::io_context& context() { return io_; }

    void run();
    // Stops accepting, closes every session and lets run() return.
    void stop();
    // Reads the accounts and bans files again, on the event loop (SIGHUP).
    void reload();

  private:
    // Once a second: the summed refusals go to the log and addresses with
    // nothing open leave the state's table.
    void sweep();

    // The state outlives the event loop: sessions that the loop still holds
    // when it is destroyed point at it.
    ServerState state_;
    asio::io_context io_;
    std::optional<Listener> listener_;
    std::optional<Listener> tlsListener_;
    std::unique_ptr<cluster::Cluster> cluster_;  // before the loop goes: it posts to it
    std::unique_ptr<ControlServer> control_;     // --control
    asio::steady_timer sweep_;
    bool stopped_ = false;  // on the loop's thread
};

}  // namespace palaver::server

#endif
