// Stopping without losing what is queued (Server::drain, SIGTERM): no
// session reads any more, each is sent what is queued for it and closes once
// its queue is empty. When all have closed, or the time limit has passed,
// the server stops as Server::stop does, closing the rest at once.
//
// A node of a cluster stays in it while it drains: lines from other nodes
// still reach the sessions that are still open, as a user who is still
// connected expects, and each session that closes leaves the cluster's rooms
// as it goes. The node says goodbye when the server stops, after the drain,
// so that the other nodes see each of its users leave once.
#ifndef PALAVER_SERVER_DRAIN_H
#define PALAVER_SERVER_DRAIN_H

#include <chrono>
#include <functional>
#include <string_view>

#include "server/net.h"

namespace palaver::server {

class ServerState;

class Drain {
  public:
    Drain(asio::io_context& io, ServerState& state);

    bool running() const { return running_; }
    // On the loop, once the listeners are closed: drains every session, and
    // calls `stop` once none is open or `limit` has passed (0: at once).
    void start(std::chrono::milliseconds limit, std::function<void()> stop);
    // The server stops: logs how the drain ended, and how many sessions it
    // leaves to be closed at once, with what they still held.
    void end();

  private:
    asio::steady_timer timer_;
    ServerState& state_;
    std::chrono::milliseconds limit_{};
    Clock::time_point since_{};
    bool running_ = false;
};

}  // namespace palaver::server

#endif
