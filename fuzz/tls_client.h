// The client's end of a TLS connection for the server fuzzer, on memory
// buffers: the harness carries the records over the socket pair itself, so
// it decides when they reach the server and how many arrive together. The
// server's certificate is not checked.
#ifndef PALAVER_FUZZ_TLS_CLIENT_H
#define PALAVER_FUZZ_TLS_CLIENT_H

#include <openssl/ssl.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace palaver::fuzz {

class TlsClient {
  public:
    enum class State { Open, Closed, Broken };

    TlsClient();

    // Takes the handshake as far as the bytes fed so far allow; true once
    // it is done.
    bool handshake();
    // Encrypts `size` bytes (at most 16 KiB) as one record.
    bool write(const std::uint8_t* bytes, std::size_t size);
    // Queues the client's close_notify.
    void close_notify();
    // Moves what is to go to the server into `wire`.
    void take_output(std::vector<std::uint8_t>& wire);
    // Takes what the server sent and decrypts it into `plain` (before the
    // handshake is done, it goes on with that): Closed once the server's
    // close_notify came, Broken on a record or alert that is not sound TLS.
    State feed(const std::uint8_t* bytes, std::size_t size, std::vector<std::uint8_t>& plain);

  private:
    struct Free {
        void operator()(SSL* p) const { SSL_free(p); }
    };
    std::unique_ptr<SSL, Free> ssl_;
    BIO* in_ = nullptr;   // owned by ssl_
    BIO* out_ = nullptr;  // owned by ssl_
};

}  // namespace palaver::fuzz

#endif
