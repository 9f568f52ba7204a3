// A host-driven client: no receive thread. The host waits on the socket in
// its own loop and calls process(); sends never block, and what the socket
// does not take at once waits in the send buffer until process() writes it.
//
// Lock order: the connection's lifecycleLock, DrivenState::lock, sendLock.
#ifndef PALAVER_LIB_CONNECTION_HOST_DRIVEN_H
#define PALAVER_LIB_CONNECTION_HOST_DRIVEN_H

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "lib/connection/keep_alive.h"
#include "lib/platform/socket.h"

namespace palaver {

class ClientState;
class Receiver;
struct Connection;

// Bytes the socket has not taken yet, whole messages in order. Under the
// connection's sendLock but for the two atomics, which the host reads freely.
struct SendBuffer {
    static constexpr std::size_t kDefaultLimit = 1 << 20;

    std::vector<std::uint8_t> bytes;
    std::size_t sent = 0;  // of bytes, already taken by the socket
    // The bytes that waited at the mark must all be taken within the send
    // limit from it; then the mark moves to what waits by then. A socket
    // that takes a byte now and then cannot stretch the limit, and a fast
    // one whose buffer is seldom empty is never cut off.
    std::size_t markLeft = 0;
    std::chrono::steady_clock::time_point stalledSince{};
    std::atomic<std::size_t> waiting{0};
    std::atomic<std::size_t> limit{kDefaultLimit};
    // Batched sends wait that no write has tried yet.
    std::atomic<bool> untried{false};
};

struct DrivenState {
    DrivenState();
    ~DrivenState();

    // One process() at a time, and none while the connection changes hands.
    std::mutex lock;
    // Under lock: the open connection's reader and KeepAlive clock, made anew
    // by each login.
    std::unique_ptr<Receiver> receiver;
    KeepAliveClock keepAlive;
    bool moreNow = false;    // a read budget ran out with bytes left: call again at once
    bool breakSeen = false;  // the break of this connection was handled
    // Under lock: the next reconnect try, and how many failed in a row.
    std::chrono::steady_clock::time_point nextTry{};
    int tries = 0;
    // A try runs on the connection's receive thread, which a host-driven
    // client has idle: started and joined by process().
    enum TryState { TryIdle, TryRunning, TryDone };
    std::atomic<int> tryState{TryIdle};
    std::atomic<int> tryOutcome{0};

    SendBuffer out;
    // With batching on (the host's choice), the sends of the thread of the
    // latest process() wait for its next turn.
    std::atomic<bool> batching{false};
    std::atomic<std::thread::id> driver{};
};

// Makes the new connection ready for the host's loop: non-blocking, a fresh
// reader and clock, an empty send buffer. Caller holds lifecycleLock and
// sendLock; `s` is the new socket.
bool prepare_driven(ClientState& state, platform::SocketHandle s);

// Sends for a host-driven client (send_message and the KeepAlive come here):
// the message goes to the socket at once when nothing waits before it, its
// rest to the send buffer. False with PALAVER_E_BUSY when the buffer has no
// room for it (nothing of it is sent), PALAVER_E_NOT_CONNECTED or
// PALAVER_E_SEND as for any send.
bool queue_message(Connection& c, const std::uint8_t* bytes, std::size_t count);
// Bytes already made for the socket (TLS records the session answered with):
// appended to the send buffer whatever its limit. Caller holds sendLock.
void queue_records(Connection& c, const std::uint8_t* bytes, std::size_t count);
// Writes what the send buffer holds, without blocking. False when the
// socket failed. Caller holds sendLock.
bool flush_send_buffer(Connection& c, platform::SocketHandle s);

// The work the socket is ready for (see palaver_process); returns nothing:
// the caller looks at the room's events.
void process(ClientState& state);
// Writes what the send buffer holds, without blocking and without reading:
// a loop about to wait writes what its thread sent since the last turn.
void write_now(ClientState& state);
// Milliseconds until process() must run, -1 when nothing is due.
int next_timeout_ms(ClientState& state);
bool want_write(const Connection& c);
// palaver_wait for a host-driven client: waits on the socket (and the
// client's signal, for wakes from other threads) and processes, until
// something is there or the time is up. Returns the wait's bits.
int wait_driven(ClientState& state, int timeoutMs, int wakeBit);

}  // namespace palaver

#endif
