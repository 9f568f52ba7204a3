// What the process does on its signals: SIGHUP reads the accounts and bans
// files again; SIGTERM (a service manager's stop) drains the server, so that
// what is queued reaches its clients; SIGINT (Ctrl-C), or another SIGTERM
// while it drains, stops it at once. Once the server has stopped it lets go
// of the signals, so that run() can return.
#ifndef PALAVER_SERVER_SIGNALS_H
#define PALAVER_SERVER_SIGNALS_H

#include "server/log.h"
#include "server/net.h"
#include "server/server.h"

namespace palaver::server {

class Signals {
  public:
    Signals(Server& server, Log& log);
    Signals(const Signals&) = delete;
    Signals& operator=(const Signals&) = delete;

  private:
    void wait();

    Server& server_;
    Log& log_;
    asio::signal_set signals_;
    bool draining_ = false;
};

}  // namespace palaver::server

#endif
