// Accepts connection after connection on a listening acceptor (TCP or a
// Unix socket) and hands each to its owner. A failed accept (out of
// descriptors or memory) is logged and tried again 100 ms later: the backlog
// waits while connections end, and the loop neither spins nor stops. It
// ends once the acceptor is closed.
#ifndef PALAVER_SERVER_ACCEPT_LOOP_H
#define PALAVER_SERVER_ACCEPT_LOOP_H

#include <chrono>
#include <functional>
#include <string>
#include <utility>

#include "server/log.h"
#include "server/net.h"

namespace palaver::server {

template <class Protocol>
class AcceptLoop {
  public:
    using Acceptor = typename Protocol::acceptor;
    using Socket = typename Protocol::socket;

    // `what` opens the log line of a failed accept, e.g. "control: ".
    AcceptLoop(Acceptor& acceptor, Log& log, std::string what)
        : acceptor_(acceptor), retry_(acceptor.get_executor()), log_(log), what_(std::move(what)) {}

    void start(std::function<void(Socket)> take) {
        take_ = std::move(take);
        accept();
    }
    void close() {
        asio::error_code ignored;
        acceptor_.close(ignored);
        retry_.cancel();
    }

  private:
    void accept() {
        acceptor_.async_accept([this](const asio::error_code& ec, Socket socket) {
            if (ec == asio::error::operation_aborted || !acceptor_.is_open()) {
                return;
            }
            if (ec) {
                log_.error(what_, "accept failed: ", ec.message());
                retry_.expires_after(std::chrono::milliseconds(100));
                retry_.async_wait([this](const asio::error_code& e) {
                    if (!e && acceptor_.is_open()) {
                        accept();
                    }
                });
                return;
            }
            take_(std::move(socket));
            accept();
        });
    }

    Acceptor& acceptor_;
    asio::steady_timer retry_;
    Log& log_;
    std::string what_;
    std::function<void(Socket)> take_;
};

}  // namespace palaver::server

#endif
