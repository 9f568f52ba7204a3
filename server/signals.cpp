#include "server/signals.h"

#include <csignal>

namespace palaver::server {

Signals::Signals(Server& server, Log& log)
    : server_(server), log_(log), signals_(server.context(), SIGINT, SIGTERM, SIGHUP) {
    server_.on_stop([this] { signals_.cancel(); });
    wait();
}

void Signals::wait() {
    signals_.async_wait([this](const asio::error_code& ec, int signal) {
        if (ec) {
            return;
        }
        if (signal == SIGHUP) {
            log_.info("SIGHUP: reading the accounts and bans files again");
            server_.reload();
            wait();
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
