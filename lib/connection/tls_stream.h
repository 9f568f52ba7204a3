// The TLS side of one connection: its session, the lock that guards it, and
// the moves of bytes between the session and the socket.
//
// Lock order: the connection's sendLock, then sessionLock_. The receive
// thread decrypts under sessionLock_ alone; a sender holds sendLock and takes
// sessionLock_ only to encrypt. Nobody waits on the network while holding
// sessionLock_. Records reach the socket only under sendLock, and each send
// takes every record the session made so far, so they go out in the order
// the session made them, whichever thread made them.
#ifndef PALAVER_LIB_CONNECTION_TLS_STREAM_H
#define PALAVER_LIB_CONNECTION_TLS_STREAM_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "lib/client/client_state.h"
#include "lib/connection/login_limit.h"
#include "lib/platform/socket.h"
#include "lib/platform/tls.h"

namespace palaver {

class TlsStream {
  public:
    explicit TlsStream(std::unique_ptr<platform::TlsSession> session);

    // Login, before the connection is shared: the handshake on the connected
    // socket `s` within `limit`. Null when it failed; a failure of TLS itself
    // leaves its PALAVER_E_TLS_* code and OpenSSL's reason as the last error,
    // a socket failure or the limit leaves the last error untouched.
    static std::unique_ptr<TlsStream> start(platform::SocketHandle s,
                                            const platform::TlsOptions& options,
                                            const LoginLimit& limit);

    // Like receive_some on the plain stream: plain bytes (at most `room`),
    // 0 when the stream ended, below 0 when it failed or, with a `limit`
    // (Login), ran out of time; last_error() says which. Bytes decrypted
    // beyond `room` stay for the next call, which returns them first.
    long receive(Connection& c, platform::SocketHandle s, std::uint8_t* plain, std::size_t room,
                 const LoginLimit* limit = nullptr);

    // Encrypts the message and sends it whole, waiting at most `limitMs` for
    // the system to take it (below 0: without end). The caller holds sendLock.
    bool send(platform::SocketHandle s, const std::uint8_t* plain, std::size_t count,
              int limitMs = -1);
    // A host-driven client's send: the message encrypted into records
    // appended to `records`, sent by the caller. The caller holds sendLock.
    bool seal(const std::uint8_t* plain, std::size_t count, std::vector<std::uint8_t>& records);
    // The same for the connection's last message, with the close alert after it.
    bool send_last(platform::SocketHandle s, const std::uint8_t* plain, std::size_t count,
                   int limitMs = -1);

  private:
    bool shake_hands(platform::SocketHandle s, const LoginLimit& limit);
    // Sends every record made so far. The caller holds sendLock.
    bool send_pending(platform::SocketHandle s, int limitMs = -1);

    std::mutex sessionLock_;
    std::unique_ptr<platform::TlsSession> session_;  // under sessionLock_
    std::vector<std::uint8_t> pending_;              // made, not yet sent: under sessionLock_
    std::vector<std::uint8_t> outgoing_;             // being sent: under sendLock
    std::vector<std::uint8_t> received_;             // the reader's raw bytes: its thread only
};

}  // namespace palaver

#endif
