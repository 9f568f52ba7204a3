#include "server/stream.h"

#include <sys/socket.h>
#include <sys/uio.h>

#include <array>
#include <cerrno>
#include <sstream>

namespace palaver::server {

Stream::Stream(tcp::socket socket, asio::ssl::context* tls)
    : socket_(std::move(socket)),
      tls_(tls ? std::make_unique<TlsStream>(socket_, *tls) : nullptr) {}

std::string Stream::peer() const {
    asio::error_code ec;
    auto endpoint = socket_.remote_endpoint(ec);
    if (ec) {
        return "unknown peer";
    }
    std::ostringstream text;
    text << endpoint;
    return text.str();
}

void Stream::prepare() {
    asio::error_code ignored;
    socket_.set_option(tcp::no_delay(true), ignored);
    socket_.non_blocking(true, ignored);
}

std::size_t Stream::read_received(std::uint8_t* data, std::size_t room, asio::error_code& ec) {
    return tls_ ? palaver::server::read_received(*tls_, data, room, ec) : 0;
}

std::string_view Stream::foreign_start(const std::uint8_t* data, std::size_t count) const {
    // No frame starts with a length of 0x16.. (above 500), but a TLS
    // ClientHello does: say what it is rather than "hostile input".
    if (!tls_ && count > 0 && data[0] == 0x16) {
        return "a TLS client on the plain port (its first bytes are a TLS handshake)";
    }
    return {};
}

std::size_t Stream::write_now(const WriteQueue& queue, asio::error_code& ec) {
    if (tls_) {
        ec = asio::error::would_block;
        return 0;
    }
    // The gathered write goes straight to the socket, up to 1024 blocks at a
    // time (Asio's own writes take 64); the event loop is only asked to wait
    // when the socket is full.
    static thread_local std::array<iovec, WriteQueue::kMaxGather> gather;
    msghdr message{};
    message.msg_iov = gather.data();
    message.msg_iovlen = queue.gather(gather.data(), gather.size());
    ssize_t n = ::sendmsg(socket_.native_handle(), &message, MSG_NOSIGNAL);
    if (n >= 0) {
        return static_cast<std::size_t>(n);
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
        ec = asio::error::would_block;
    } else if (errno != EINTR) {
        ec = asio::error_code(errno, asio::system_category());
    }
    return 0;
}

void Stream::close() {
    asio::error_code ignored;
    socket_.shutdown(tcp::socket::shutdown_both, ignored);
    socket_.close(ignored);
}

void Stream::shutdown_sending() {
    asio::error_code ignored;
    socket_.shutdown(tcp::socket::shutdown_send, ignored);
}

bool Stream::closed_by_peer(const asio::error_code& ec) const {
    return ec == asio::error::eof || (tls_ && tls_closed(ec));
}

std::string Stream::failure(const asio::error_code& ec) const {
    return tls_ ? tls_failure(ec) : ec.message();
}

}  // namespace palaver::server
