#include "server/server.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "server/cluster/cluster.h"
#include "server/control_commands.h"
#include "server/control_server.h"
#include "server/reload.h"
#include "server/tls_context.h"

namespace palaver::server {

Server::Server(Settings settings, Log& log)
    : state_(io_, settings, log), io_(1), sweep_(io_), drain_(io_, state_) {
    checks_.emplace(io_, std::max<std::size_t>(settings.loginCheckThreads, 1),
                    settings.maxWaitingChecks);
    state_.attach_checks(&*checks_);
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
    if (settings.metrics) {
        metrics_.emplace(io_,
                         tcp::endpoint(asio::ip::make_address(settings.metrics->address),
                                       settings.metrics->port),
                         state_);
    }
    if (!settings.controlPath.empty()) {
        control_ = std::make_unique<ControlServer>(io_, settings.controlPath, log);
        add_control_commands(*control_, state_);
        control_->add("drain", "drain", 0, 0,
                      [this](const ControlServer::Args&, ControlServer::Reply& reply) {
                          reply.lines.push_back("draining " + std::to_string(state_.connections()) +
                                                " connections");
                          drain();  // on a later turn: the reply is written first
                      });
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
    if (metrics_) {
        metrics_->start();
    }
    sweep();
}

Server::~Server() {
    // Sessions the loop still holds forget themselves as it goes, after the
    // cluster.
    state_.attach(nullptr);
    state_.attach_checks(nullptr);
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
    asio::post(io_, [this] { halt(); });
}

void Server::drain() {
    asio::post(io_, [this] {
        if (stopped_ || drain_.running()) {
            return;
        }
        close_listeners();
        drain_.start(state_.settings().drainTimeout, [this] { halt(); });
    });
}

void Server::close_listeners() {
    if (listener_) {
        listener_->close();
    }
    if (tlsListener_) {
        tlsListener_->close();
    }
}

void Server::halt() {
    if (stopped_) {
        return;
    }
    stopped_ = true;
    sweep_.cancel();
    close_listeners();
    // /metrics answers through a drain, and closes with the rest.
    if (metrics_) {
        metrics_->close();
    }
    if (control_) {
        control_->close();
    }
    drain_.end();
    state_.close_all("server shutting down");
    // After the drain: the other nodes have seen the drained users leave one
    // by one, and the goodbye takes the rest.
    if (cluster_) {
        cluster_->stop();
    }
    if (onStop_) {
        std::exchange(onStop_, nullptr)();
    }
}

}  // namespace palaver::server
