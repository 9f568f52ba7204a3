#include "server/server.h"

namespace palaver::server {

Server::Server(Settings settings, Log& log)
    : state_(io_, settings, log),
      io_(1),
      listener_(io_, tcp::endpoint(asio::ip::make_address(settings.address), settings.port),
                state_) {
    listener_.start();
}

Server::~Server() = default;

void Server::run() {
    io_.run();
}

void Server::stop() {
    asio::post(io_, [this] {
        listener_.close();
        state_.close_all("server shutting down");
    });
}

}  // namespace palaver::server
