#include "fuzz/tls_client.h"

#include <openssl/err.h>

#include <climits>
#include <cstdio>
#include <cstdlib>

namespace palaver::fuzz {
namespace {

SSL_CTX* client_context() {
    static SSL_CTX* const context = [] {
        SSL_CTX* c = SSL_CTX_new(TLS_client_method());
        if (c == nullptr) {
            std::fprintf(stderr, "cannot make a TLS client context\n");
            std::abort();
        }
        SSL_CTX_set_verify(c, SSL_VERIFY_NONE, nullptr);
        return c;
    }();
    return context;
}

}  // namespace

TlsClient::TlsClient() : ssl_(SSL_new(client_context())) {
    in_ = BIO_new(BIO_s_mem());
    out_ = BIO_new(BIO_s_mem());
    if (!ssl_ || in_ == nullptr || out_ == nullptr) {
        std::fprintf(stderr, "cannot make a TLS client\n");
        std::abort();
    }
    SSL_set_bio(ssl_.get(), in_, out_);
    SSL_set_connect_state(ssl_.get());
}

bool TlsClient::handshake() {
    ERR_clear_error();
    return SSL_do_handshake(ssl_.get()) == 1;
}

bool TlsClient::write(const std::uint8_t* bytes, std::size_t size) {
    ERR_clear_error();
    return size <= INT_MAX && SSL_write(ssl_.get(), bytes, static_cast<int>(size)) > 0;
}

void TlsClient::close_notify() {
    SSL_shutdown(ssl_.get());
}

void TlsClient::take_output(std::vector<std::uint8_t>& wire) {
    char* data = nullptr;
    long size = BIO_get_mem_data(out_, &data);
    if (size > 0) {
        wire.insert(wire.end(), data, data + size);
    }
    (void)BIO_reset(out_);
}

TlsClient::State TlsClient::feed(const std::uint8_t* bytes, std::size_t size,
                                 std::vector<std::uint8_t>& plain) {
    if (size > 0 && BIO_write(in_, bytes, static_cast<int>(size)) != static_cast<int>(size)) {
        return State::Broken;
    }
    std::uint8_t buffer[16384];
    for (;;) {
        ERR_clear_error();
        int n = SSL_read(ssl_.get(), buffer, sizeof buffer);
        if (n > 0) {
            plain.insert(plain.end(), buffer, buffer + n);
            continue;
        }
        switch (SSL_get_error(ssl_.get(), n)) {
            case SSL_ERROR_WANT_READ:
            case SSL_ERROR_WANT_WRITE:
                return State::Open;
            case SSL_ERROR_ZERO_RETURN:
                return State::Closed;
            default:
                return State::Broken;
        }
    }
}

}  // namespace palaver::fuzz
