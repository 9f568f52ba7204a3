#include "server/server.h"

#include <stdexcept>

#include "server/cluster/cluster.h"
#include "server/control_commands.h"
#include "server/control_server.h"
#include "server/reload.h"
#include "server/tls_context.h"

namespace palaver::server {

Server::Server(Settings settings, Log& log) : state_(io_, settings, log), io_(1), sweep_(io_) {
    load_bans_at_start(state_);
    if (settings.plain) {
        listener_.emplace(io_,
                          tcp::endpoint(asio::ip::make_address(settings.address), settings.port),
                          state_, settings.reusePort);
    }
    if (settings.tls) {
        const TlsSettings& t = *settings.tls;
        std::string error;
        auto context = make_tls_context(t.certFile, t.keyFile, error);
        if (!context) {
            throw std::runtime_error(error);
        }
        tlsListener_.emplace(io_, tcp::endpoint(asio::ip::make_address(t.address), t.port), state_,
                             settings.reusePort, std::move(context));
    }
    if (!settings.controlPath.empty()) {
        control_ = std::make_unique<ControlServer>(io_, settings.controlPath, log);
        add_control_commands(*control_, state_);
        control_->start();
    }
    if (settings.cluster) {
        cluster_ = std::make_unique<cluster::Cluster>(io_, state_, *settings.cluster);
        state_.attach(cluster_.get());
    }
    if (listener_) {
        listener_->start();
    }
    if (tlsListener_) {
        tlsListener_->start();
    }
    sweep();
}

Server::~Server() {
    // Sessions the loop still holds forget themselves as it goes, after the
    // cluster.
    state_.attach(nullptr);
}

void Server::sweep() {
    sweep_.expires_after(std::chrono::seconds(1));
    sweep_.async_wait([this](const asio::error_code& ec) {
        if (ec || stopped_) {
            return;
        }
        state_.sweep(Clock::now());
        sweep();
    });
}

void Server::run() {
    io_.run();
}

void Server::reload() {
    asio::post(io_, [this] {
        if (!stopped_) {
            reload_files(state_);
        }
    });
}

void Server::stop() {
    asio::post(io_, [this] {
        stopped_ = true;
        sweep_.cancel();
        if (listener_) {
            listener_->close();
        }
        if (tlsListener_) {
            tlsListener_->close();
        }
        if (control_) {
            control_->close();
        }
        state_.close_all("server shutting down");
        if (cluster_) {
            cluster_->stop();
        }
    });
}

}  // namespace palaver::server
