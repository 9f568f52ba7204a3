// The HTTP side of /metrics, on the server's event loop: one GET per
// connection, answered and closed. A port anyone can reach is hostile
// ground, so it reads only the request head (at most 8 KiB, within 5 s),
// looks only at its request line, holds at most 8 connections at once (one
// more is closed at once) and renders at most 20 scrapes a second (503
// beyond).
#ifndef PALAVER_SERVER_METRICS_LISTENER_H
#define PALAVER_SERVER_METRICS_LISTENER_H

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "server/accept_loop.h"
#include "server/net.h"
#include "server/request_budget.h"

namespace palaver::server {

class ServerState;

class MetricsListener {
  public:
    static constexpr std::size_t kMaxHead = 8192;
    static constexpr std::size_t kMaxConnections = 8;
    static constexpr auto kTimeLimit = std::chrono::seconds(5);
    static constexpr double kScrapesPerSecond = 20;

    // Throws asio::system_error when the address cannot be bound.
    MetricsListener(asio::io_context& io, const tcp::endpoint& endpoint, ServerState& state);
    ~MetricsListener();

    void start();
    // Stops accepting and closes every connection.
    void close();
    tcp::endpoint endpoint() const;

  private:
    class Connection;

    void take(tcp::socket socket);
    // The whole response to a request whose head starts with this line.
    std::string answer(std::string_view requestLine, const std::string& peer);
    void forget(const Connection* connection);

    tcp::acceptor acceptor_;
    ServerState& state_;
    AcceptLoop<tcp> loop_;
    RequestBudget scrapes_;
    std::vector<std::shared_ptr<Connection>> open_;
};

}  // namespace palaver::server

#endif
