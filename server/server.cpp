#include "server/server.h"

#include "server/cluster/cluster.h"

namespace palaver::server {

Server::Server(Settings settings, Log& log)
    : state_(io_, settings, log),
      io_(1),
      listener_(io_, tcp::endpoint(asio::ip::make_address(settings.address), settings.port), state_,
                settings.reusePort) {
    if (settings.cluster) {
        cluster_ = std::make_unique<cluster::Cluster>(io_, state_, *settings.cluster);
        state_.attach(cluster_.get());
    }
    listener_.start();
}

Server::~Server() {
    // Sessions the loop still holds forget themselves as it goes, after the
    // cluster.
    state_.attach(nullptr);
}

void Server::run() {
    io_.run();
}

void Server::stop() {
    asio::post(io_, [this] {
        listener_.close();
        state_.close_all("server shutting down");
        if (cluster_) {
            cluster_->stop();
        }
    });
}

}  // namespace palaver::server
