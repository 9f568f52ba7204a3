// A session's connection: the socket and, on the TLS listener, the TLS
// stream over it (server/tls_stream.h). The session reads, writes and closes
// through it one way, whichever it is; the plain and TLS paths differ only
// here.
#ifndef PALAVER_SERVER_STREAM_H
#define PALAVER_SERVER_STREAM_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "server/net.h"
#include "server/tls_stream.h"
#include "server/write_queue.h"

namespace palaver::server {

class Stream {
  public:
    // With `tls` the stream speaks TLS once its handshake is done.
    Stream(tcp::socket socket, asio::ssl::context* tls);
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;

    bool tls() const { return tls_ != nullptr; }
    // Always true for a plain stream.
    bool handshaken() const { return !tls_ || tls_->handshaken; }
    // The client's address, for the log.
    std::string peer() const;
    asio::any_io_executor executor() { return socket_.get_executor(); }

    // No delay for small messages, and non-blocking for the gathered writes.
    void prepare();

    // Calls `done(ec)` once the TLS handshake is over; a plain stream calls
    // it at once.
    template <class Done>
    void handshake(Done done) {
        if (!tls_) {
            done(asio::error_code());
            return;
        }
        tls_->stream.async_handshake(asio::ssl::stream_base::server,
                                     [this, done = std::move(done)](const asio::error_code& ec) {
                                         if (!ec) {
                                             tls_->handshaken = true;
                                         }
                                         done(ec);
                                     });
    }

    template <class Done>
    void read_some(std::uint8_t* data, std::size_t room, Done done) {
        auto buffer = asio::buffer(data, room);
        if (tls_) {
            tls_->stream.async_read_some(buffer, std::move(done));
        } else {
            socket_.async_read_some(buffer, std::move(done));
        }
    }
    // Takes, without waiting, what is already received beyond the last
    // read: a TLS stream decrypts every whole record waiting (see
    // read_received in server/tls_stream.h); a plain read has taken all
    // there was, so this takes nothing.
    std::size_t read_received(std::uint8_t* data, std::size_t room, asio::error_code& ec);
    // Why the first bytes read cannot be from a client of this stream;
    // empty when they can.
    std::string_view foreign_start(const std::uint8_t* data, std::size_t count) const;

    // Writes what the socket takes at once from the front of the queue, in
    // one gathered sendmsg. A TLS stream writes through OpenSSL's engine
    // instead: it says would_block, and write_later does the writing.
    std::size_t write_now(const WriteQueue& queue, asio::error_code& ec);
    // For when write_now would block: a plain stream waits for room in the
    // socket and reports 0 bytes; a TLS stream writes a copy of the front of
    // the queue, so that small messages share records, and reports its size.
    template <class Done>
    void write_later(const WriteQueue& queue, Done done) {
        if (!tls_) {
            socket_.async_wait(
                tcp::socket::wait_write,
                [done = std::move(done)](const asio::error_code& ec) { done(ec, std::size_t{0}); });
            return;
        }
        queue.copy(tls_->out, TlsStream::kGather);
        asio::async_write(tls_->stream, asio::buffer(tls_->out), std::move(done));
    }

    // True when closing starts with the server's close_notify: a TLS stream
    // past its handshake.
    bool says_goodbye() const { return tls_ && tls_->handshaken; }
    // Sends the close_notify without waiting for the client's, then calls
    // `done()`.
    template <class Done>
    void goodbye(Done done) {
        skip_peer_close_notify(*tls_);
        tls_->stream.async_shutdown([done = std::move(done)](const asio::error_code&) { done(); });
    }
    void close();

    // Ends the server's side, after all it wrote (a TLS stream sends its
    // close_notify first), then calls `done()`; the client may still send.
    template <class Done>
    void end_sending(Done done) {
        if (!says_goodbye()) {
            shutdown_sending();
            done();
            return;
        }
        goodbye([this, done = std::move(done)] {
            shutdown_sending();
            done();
        });
    }
    // Reads what the client still sends, below any TLS, for nobody.
    template <class Done>
    void discard(std::uint8_t* data, std::size_t room, Done done) {
        socket_.async_read_some(asio::buffer(data, room), std::move(done));
    }

    // True when `ec` ends a read because the client closed the connection.
    bool closed_by_peer(const asio::error_code& ec) const;
    // What went wrong, for the log.
    std::string failure(const asio::error_code& ec) const;

  private:
    void shutdown_sending();

    tcp::socket socket_;
    std::unique_ptr<TlsStream> tls_;  // over socket_; none on the plain listener
};

}  // namespace palaver::server

#endif
