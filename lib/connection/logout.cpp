#include <chrono>
#include <mutex>

#include "lib/connection/host_driven.h"
#include "lib/connection/lifecycle.h"
#include "lib/connection/receiver.h"
#include "lib/connection/send.h"
#include "lib/connection/tls_stream.h"
#include "protocol/client_messages.h"

namespace palaver {
namespace {

// The Logout notice is a courtesy: it goes out only when that cannot block,
// so a server that stopped reading cannot hold the connection open.
void say_goodbye(ClientState& state, platform::SocketHandle s) {
    Connection& c = state.connection;
    std::unique_lock<SendLock> hold(c.sendLock, std::chrono::milliseconds(50));
    if (!hold.owns_lock() || !platform::wait_writable(s, 0)) {
        return;
    }
    // A host-driven client's buffered bytes go first, or the notice would cut
    // into a message; when the socket cannot take them now, no goodbye.
    if (c.driven != nullptr && (!flush_send_buffer(c, s) || c.driven->out.waiting.load() != 0)) {
        return;
    }
    auto notice = encode_logout(location_key_of(state.room.self));
    if (c.tls != nullptr) {
        c.tls->send_last(s, notice.data(), notice.size(), send_limit(c, s));  // and the close alert
    } else {
        send_all(s, notice.data(), notice.size(), send_limit(c, s));
    }
}

// At unload the receive thread is released rather than joined: see
// WorkerThread::release.
void end(ClientState& state, bool sayGoodbye, bool atUnload) {
    Connection& c = state.connection;
    c.reconnect.away.store(false);  // the host ends the tries at once
    // The worker threads run only while the socket is set.
    const platform::SocketHandle s = c.socket.load();
    if (s == platform::kNoSocket) {
        return;
    }
    c.hostEnding.store(true);
    c.stop.store(true);  // before the goodbye: no KeepAlive follows it
    if (sayGoodbye) {
        say_goodbye(state, s);
    }
    connection_lost(c, s);  // stops the receive thread and wakes any blocked sender
    if (atUnload) {
        c.receiver.release();
    } else {
        c.receiver.join();
    }
    // A host-driven client's process() is never inside the socket it closes.
    std::unique_lock<std::mutex> driven;
    if (c.driven != nullptr) {
        driven = std::unique_lock<std::mutex>(c.driven->lock);
    }
    std::lock_guard<SendLock> hold(c.sendLock);
    platform::close_socket(s);
    c.socket.store(platform::kNoSocket);
    c.socketSendLimitMs = 0;  // the next socket has not got it yet
    c.tls.reset();
    if (c.driven != nullptr) {
        c.driven->receiver.reset();
        c.driven->out.bytes.clear();
        c.driven->out.sent = 0;
        c.driven->out.waiting.store(0);
    }
}

}  // namespace

void end_connection(ClientState& state, bool sayGoodbye) {
    end(state, sayGoodbye, false);
}

void end_connection_at_unload(ClientState& state) {
    end(state, true, true);
}

void logout(ClientState& state) {
    std::lock_guard<std::mutex> lifecycle(state.connection.lifecycleLock);
    state.connection.logouts.fetch_add(1);  // a Login under way gives up
    end_connection(state, true);
    state.connection.reconnect.forget();  // the login string is kept no longer than needed
    state.room.events.set_broken(false);
}

}  // namespace palaver
