#include "lib/connection/send.h"

#include <chrono>
#include <mutex>

#include "lib/client/error.h"
#include "lib/connection/host_driven.h"
#include "lib/connection/lifecycle.h"
#include "lib/connection/tls_stream.h"

namespace palaver {
namespace {

// Through TLS when the connection has it. The caller holds the send lock.
bool send_on(Connection& c, platform::SocketHandle s, const std::uint8_t* bytes,
             std::size_t count) {
    const int limit = send_limit(c, s);
    return c.tls != nullptr ? c.tls->send(s, bytes, count, limit)
                            : send_all(s, bytes, count, limit);
}

// The send lock, waited for at most the send limit.
std::unique_lock<SendLock> lock_send(Connection& c) {
    const int limit = c.sendLimitMs.load(std::memory_order_relaxed);
    std::unique_lock<SendLock> hold(c.sendLock, std::defer_lock);
    if (!hold.try_lock()) {
        hold.try_lock_for(std::chrono::milliseconds(limit));
    }
    return hold;
}

}  // namespace

bool send_all(platform::SocketHandle s, const std::uint8_t* bytes, std::size_t count, int limitMs) {
    return platform::send_all_within(s, bytes, count, limitMs);
}

int send_limit(Connection& c, platform::SocketHandle s) {
    const int limit = c.sendLimitMs.load(std::memory_order_relaxed);
    if (limit != c.socketSendLimitMs && platform::set_send_limit(s, limit)) {
        c.socketSendLimitMs = limit;
    }
    return limit;
}

bool send_keep_alive(Connection& c, const LocationKey& key) {
    auto message = encode_keep_alive(key);
    if (c.driven != nullptr) {
        // Buffered like any send; a full buffer leaves it out, the stall
        // deadline ends a connection that takes nothing.
        return queue_message(c, message.data(), message.size()) ||
               last_error_code() != PALAVER_E_SEND;
    }
    std::unique_lock<SendLock> hold = lock_send(c);
    platform::SocketHandle s = c.socket.load();
    if (s == platform::kNoSocket || c.stop.load()) {
        return true;  // nothing to keep alive
    }
    if (!hold.owns_lock() || !send_on(c, s, message.data(), message.size())) {
        connection_lost(c, s);
        return false;
    }
    return true;
}

bool send_message(Connection& c, const std::uint8_t* bytes, std::size_t count) {
    if (c.driven != nullptr) {
        return queue_message(c, bytes, count);
    }
    std::unique_lock<SendLock> hold = lock_send(c);
    if (!hold.owns_lock()) {
        // The socket may be changing hands: only what the flag says is read.
        set_error(c.connected.load() ? PALAVER_E_SEND : PALAVER_E_NOT_CONNECTED);
        return false;
    }
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
