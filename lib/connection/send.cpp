#include "lib/connection/send.h"

#include <mutex>

#include "lib/client/error.h"
#include "lib/connection/lifecycle.h"
#include "lib/connection/tls_stream.h"

namespace palaver {
namespace {

// Through TLS when the connection has it. The caller holds the send lock.
bool send_on(Connection& c, platform::SocketHandle s, const std::uint8_t* bytes,
             std::size_t count) {
    return c.tls != nullptr ? c.tls->send(s, bytes, count) : send_all(s, bytes, count);
}

}  // namespace

bool send_all(platform::SocketHandle s, const std::uint8_t* bytes, std::size_t count) {
    std::size_t written = 0;
    while (written < count) {
        long n = platform::send_some(s, bytes + written, count - written);
        if (n < 1) {
            return false;
        }
        written += static_cast<std::size_t>(n);
    }
    return true;
}

bool send_keep_alive(Connection& c, const LocationKey& key) {
    auto message = encode_keep_alive(key);
    std::lock_guard<std::timed_mutex> hold(c.sendLock);
    platform::SocketHandle s = c.socket.load();
    if (s == platform::kNoSocket || c.stop.load()) {
        return true;  // nothing to keep alive
    }
    if (!send_on(c, s, message.data(), message.size())) {
        connection_lost(c, s);
        return false;
    }
    return true;
}

bool send_message(Connection& c, const std::uint8_t* bytes, std::size_t count) {
    std::lock_guard<std::timed_mutex> hold(c.sendLock);
    platform::SocketHandle s = c.socket.load();
    if (s == platform::kNoSocket || !c.connected.load()) {
        set_error(PALAVER_E_NOT_CONNECTED);
        return false;
    }
    if (!send_on(c, s, bytes, count)) {
        connection_lost(c, s);
        set_error(PALAVER_E_SEND);
        return false;
    }
    return true;
}

}  // namespace palaver
