#include "server/stop_signals.h"

#include <csignal>

namespace palaver::server {

StopSignals::StopSignals(Server& server, Log& log)
    : server_(server), log_(log), signals_(server.context(), SIGINT, SIGTERM) {
    server_.on_stop([this] { signals_.cancel(); });
    wait();
}

void StopSignals::wait() {
    signals_.async_wait([this](const asio::error_code& ec, int signal) {
        if (ec) {
            return;
        }
        const char* name = signal == SIGTERM ? "SIGTERM" : "SIGINT";
        if (signal == SIGTERM && !draining_) {
            draining_ = true;
            log_.info(name, ": draining; another SIGTERM or a SIGINT stops at once");
            server_.drain();
            wait();
            return;
        }
        log_.info(name, ": shutting down at once");
        server_.stop();
    });
}

}  // namespace palaver::server
