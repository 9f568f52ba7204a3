#include "server/listener.h"

#include <sys/socket.h>

#include <cerrno>
#include <memory>

#include "server/server_state.h"
#include "server/session.h"

namespace palaver::server {

Listener::Listener(asio::io_context& io, const tcp::endpoint& endpoint, ServerState& state,
                   bool reusePort, std::shared_ptr<asio::ssl::context> tls)
    : acceptor_(io), state_(state), loop_(acceptor_, state.log(), ""), tls_(std::move(tls)) {
    acceptor_.open(endpoint.protocol());
    acceptor_.set_option(tcp::acceptor::reuse_address(true));
    int one = 1;
    if (reusePort &&
        ::setsockopt(acceptor_.native_handle(), SOL_SOCKET, SO_REUSEPORT, &one, sizeof one) != 0) {
        throw asio::system_error(asio::error_code(errno, asio::system_category()), "SO_REUSEPORT");
    }
    acceptor_.bind(endpoint);
    acceptor_.listen(asio::socket_base::max_listen_connections);
}

tcp::endpoint Listener::endpoint() const {
    asio::error_code ec;
    return acceptor_.local_endpoint(ec);
}

void Listener::start() {
    loop_.start([this](tcp::socket socket) { take(std::move(socket)); });
}

void Listener::close() {
    loop_.close();
}

void Listener::take(tcp::socket socket) {
    asio::error_code gone;
    tcp::endpoint peer = socket.remote_endpoint(gone);
    // An address over its limits is closed before any session is made: the
    // client sees the close and nothing else, and costs no more than this.
    // A connection already reset has no peer, and nothing to serve.
    if (!gone) {
        AddressKey address = AddressKey::of(peer.address());
        if (state_.admit(address, Clock::now())) {
            auto session = std::make_shared<Session>(std::move(socket), state_, tls_.get());
            state_.log().info("connect ", session->peer(), tls_ ? " (TLS)" : "");
            state_.metrics().accepted(tls_ != nullptr);
            state_.connected(*session, address);
            session->start();
        }
    }
}

}  // namespace palaver::server
