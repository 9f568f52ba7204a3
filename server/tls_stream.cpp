#include "server/tls_stream.h"

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

bool tls_closed(const asio::error_code& ec) {
    return ec == asio::error::eof || ec == asio::ssl::error::stream_truncated;
}

}  // namespace palaver::server
