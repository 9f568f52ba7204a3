// The TLS half of a session's Stream (server/stream.h): OpenSSL's stream
// over the session's own socket, the buffer its writes are gathered into,
// and what only TLS needs: failure texts, the quick shutdown and draining
// the records already received.
#ifndef PALAVER_SERVER_TLS_STREAM_H
#define PALAVER_SERVER_TLS_STREAM_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <asio/ssl.hpp>

#include "server/net.h"

namespace palaver::server {

struct TlsStream {
    // Queued messages are copied into one buffer of up to this many bytes per
    // write, rather than one TLS record per small message.
    static constexpr std::size_t kGather = 64 * 1024;

    TlsStream(tcp::socket& socket, asio::ssl::context& context) : stream(socket, context) {}

    asio::ssl::stream<tcp::socket&> stream;
    std::vector<std::uint8_t> out;  // the write in flight
    bool handshaken = false;
};

// Why a TLS handshake or transfer failed, for the log: OpenSSL's reason, and
// a plain word on what it most likely means (e.g. plain text on the TLS port).
std::string tls_failure(const asio::error_code& ec);

// Lets the next shutdown send the server's close_notify and finish at once,
// rather than wait for the client's.
void skip_peer_close_notify(TlsStream& tls);

// Decrypts what is already received, up to `room` bytes, without waiting for
// the socket: Asio's read returns one record at a time, and a turn of the
// event loop per record (one short line each) would give every line its own
// writes to each member of the room. Stops at the first record that needs
// more bytes (Asio's next read fetches them); `ec` says when the client's
// close_notify or a broken record came first.
std::size_t read_received(TlsStream& tls, std::uint8_t* data, std::size_t room,
                          asio::error_code& ec);

// True for the end of a TLS client's stream: a close, with or without its
// close_notify.
bool tls_closed(const asio::error_code& ec);

}  // namespace palaver::server

#endif
