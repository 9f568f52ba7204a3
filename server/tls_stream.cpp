#include "server/tls_stream.h"

#include <algorithm>
#include <climits>

#include <openssl/err.h>
#include <openssl/ssl.h>

namespace palaver::server {

std::string tls_failure(const asio::error_code& ec) {
    std::string text = ec.message();
    if (ec.category() != asio::error::get_ssl_category()) {
        return text;
    }
    switch (ERR_GET_REASON(static_cast<unsigned long>(ec.value()))) {
        case SSL_R_WRONG_VERSION_NUMBER:
        case SSL_R_HTTP_REQUEST:
        case SSL_R_HTTPS_PROXY_REQUEST:
        case SSL_R_PACKET_LENGTH_TOO_LONG:
        case SSL_R_UNKNOWN_PROTOCOL:
        case SSL_R_RECORD_LENGTH_MISMATCH:
            return text + ": not TLS, a plain client on the TLS port";
        case SSL_R_UNSUPPORTED_PROTOCOL:
            return text + ": the client offers no TLS version from 1.2 on";
        default:
            return text;
    }
}

void skip_peer_close_notify(TlsStream& tls) {
    SSL_set_shutdown(tls.stream.native_handle(), SSL_RECEIVED_SHUTDOWN);
}

std::size_t read_received(TlsStream& tls, std::uint8_t* data, std::size_t room,
                          asio::error_code& ec) {
    SSL* ssl = tls.stream.native_handle();
    std::size_t got = 0;
    // Once: a read that succeeds leaves the queue empty for the next.
    ERR_clear_error();
    while (got < room) {
        const int want = static_cast<int>(std::min<std::size_t>(room - got, INT_MAX));
        const int n = SSL_read(ssl, data + got, want);
        if (n > 0) {
            got += static_cast<std::size_t>(n);
            continue;
        }
        switch (SSL_get_error(ssl, n)) {
            case SSL_ERROR_ZERO_RETURN:
                ec = asio::error::eof;
                break;
            case SSL_ERROR_SSL:
                ec = asio::error_code(static_cast<int>(ERR_get_error()),
                                      asio::error::get_ssl_category());
                break;
            default:
                // More bytes needed, or output to flush first: Asio's next
                // read does either, and anything written meanwhile stays
                // queued in order in its engine.
                ERR_clear_error();
                break;
        }
        break;
    }
    return got;
}

bool tls_closed(const asio::error_code& ec) {
    return ec == asio::error::eof || ec == asio::ssl::error::stream_truncated;
}

}  // namespace palaver::server
