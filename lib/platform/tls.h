// A TLS client session with no socket of its own: the connection feeds it
// the bytes it received and sends what it takes from it, so one interface
// serves OpenSSL (Linux, memory BIOs) and Schannel (Windows, SSPI buffers),
// and the connection's reads, waits and time-outs stay as they are.
//
// Not thread-safe: the connection calls one session under one lock, and
// never blocks while it holds it (no call here touches the network).
#ifndef PALAVER_LIB_PLATFORM_TLS_H
#define PALAVER_LIB_PLATFORM_TLS_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace palaver::platform {

struct TlsOptions {
    // Check the server's certificate chain and that it names `serverName`.
    // Off only when a host says so explicitly (tests, a lab).
    bool verify = true;
    // PEM file of the authorities to trust; empty: the system's trust store.
    std::string caFile;
    // The name or address the host gave for the server: sent as SNI when it
    // is a name, and matched against the certificate either way.
    std::string serverName;
};

// Why a session failed, so the host can be told precisely.
enum class TlsFailure {
    None,
    Unavailable,  // no TLS library on this system (libssl not found)
    Setup,        // the CA file cannot be read, options refused
    Certificate,  // the server's certificate was refused by verification
    Handshake,    // any other handshake failure (protocol, plain-text peer)
    Stream,       // a broken record after the handshake
};

class TlsSession {
  public:
    enum class Step { Continue, Done, Failed };

    virtual ~TlsSession() = default;

    // Bytes received from the server; the session keeps all of them.
    virtual void feed(const std::uint8_t* bytes, std::size_t count) = 0;
    // Advances the handshake with what was fed. Continue: send the output
    // and feed more; Done: application data may flow (some of it may be
    // fed already); Failed: see failure().
    virtual Step handshake() = 0;
    // Plain bytes decrypted from what was fed, at most `room` of them.
    // Returns how many (> 0), 0 when more must be fed first, -1 when the
    // stream broke or the server closed it (closed() tells which).
    virtual long read(std::uint8_t* plain, std::size_t room) = 0;
    // Encrypts plain bytes into records that wait in the output.
    virtual bool write(const std::uint8_t* plain, std::size_t count) = 0;
    // Puts the close alert in the output.
    virtual void close() = 0;
    // Appends what waits to be sent to the server to `out`.
    virtual void take_output(std::vector<std::uint8_t>& out) = 0;

    virtual bool closed() const = 0;
    virtual TlsFailure failure() const = 0;
    // One line for the host: what the TLS library said.
    virtual const std::string& failure_text() const = 0;
};

// A client session for `options`; never null (a session that could not be
// set up reports Failed at its first handshake step, with the reason).
std::unique_ptr<TlsSession> open_tls_session(const TlsOptions& options);

// False when this system has no TLS library, with `why` set when given (a
// host that enables TLS is told at once rather than at its next Login).
bool tls_available(std::string* why = nullptr);

}  // namespace palaver::platform

#endif
