// A whole server on one event loop: the listeners (plain, TLS or both), the
// shared state and the sessions. run() serves until stop() or the end of a
// drain(), which any thread may call.
#ifndef PALAVER_SERVER_SERVER_H
#define PALAVER_SERVER_SERVER_H

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "server/drain.h"
#include "server/listener.h"
#include "server/log.h"
#include "server/login_checks.h"
#include "server/metrics_listener.h"
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
    // The /metrics listener's; an empty endpoint without one.
    tcp::endpoint metrics_endpoint() const {
        return metrics_ ? metrics_->endpoint() : tcp::endpoint();
    }
    asio::io_context& context() { return io_; }

    void run();
    // Stops accepting, closes every session and lets run() return.
    void stop();
    // Stops accepting, sends every session what is queued for it and closes
    // it, then stops as stop() does once all are closed or the drain's time
    // limit (Settings::drainTimeout) has passed (server/drain.h). stop()
    // during a drain closes the rest at once.
    void drain();
    // Calls `stopped` on the loop's thread once the server has stopped, so
    // that its owner can let go of what it keeps waiting on the loop.
    void on_stop(std::function<void()> stopped) { onStop_ = std::move(stopped); }
    // Reads the accounts and bans files again, on the event loop (SIGHUP).
    void reload();

  private:
    // Once a second: the summed refusals go to the log and addresses with
    // nothing open leave the state's table.
    void sweep();
    void close_listeners();
    // What stop() does, on the loop's thread, once.
    void halt();

    // The state outlives the event loop: sessions that the loop still holds
    // when it is destroyed point at it.
    ServerState state_;
    asio::io_context io_;
    std::optional<Listener> listener_;
    std::optional<Listener> tlsListener_;
    // After the loop: its threads post to it until they are joined.
    std::optional<LoginChecks> checks_;
    std::optional<MetricsListener> metrics_;
    std::unique_ptr<cluster::Cluster> cluster_;  // before the loop goes: it posts to it
    std::unique_ptr<ControlServer> control_;     // --control
    asio::steady_timer sweep_;
    Drain drain_;
    std::function<void()> onStop_;
    bool stopped_ = false;  // on the loop's thread
};

}  // namespace palaver::server

#endif
