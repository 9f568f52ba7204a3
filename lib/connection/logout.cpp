#include <chrono>
#include <mutex>
#include <thread>

#include "lib/connection/lifecycle.h"
#include "lib/connection/send.h"
#include "lib/connection/tls_stream.h"
#include "protocol/client_messages.h"

namespace palaver {
namespace {

// Waits a little for the send lock. Polls try_lock rather than calling
// try_lock_for: ThreadSanitizer does not see the timed lock libstdc++ uses,
// and then reports its unlock as the unlock of a mutex nobody holds.
std::unique_lock<std::timed_mutex> lock_send_within(Connection& c,
                                                    std::chrono::milliseconds limit) {
    std::unique_lock<std::timed_mutex> hold(c.sendLock, std::defer_lock);
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!hold.try_lock() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return hold;
}

// The Logout notice is a courtesy: it goes out only when that cannot block,
// so a server that stopped reading cannot hold the connection open.
void say_goodbye(ClientState& state, platform::SocketHandle s) {
    Connection& c = state.connection;
    std::unique_lock<std::timed_mutex> hold = lock_send_within(c, std::chrono::milliseconds(50));
    if (!hold.owns_lock() || !platform::wait_writable(s, 0)) {
        return;
    }
    auto notice = encode_logout(location_key_of(state.room.self));
    if (c.tls != nullptr) {
        c.tls->send_last(s, notice.data(), notice.size());  // and TLS's close alert
    } else {
        send_all(s, notice.data(), notice.size());
    }
}

// At unload the receive thread is released rather than joined: see
// WorkerThread::release.
void end(ClientState& state, bool sayGoodbye, bool atUnload) {
    Connection& c = state.connection;
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
    std::lock_guard<std::timed_mutex> hold(c.sendLock);
    platform::close_socket(s);
    c.socket.store(platform::kNoSocket);
    c.tls.reset();
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
    state.room.events.set_broken(false);
}

}  // namespace palaver
