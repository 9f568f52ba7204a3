#include "lib/connection/host_driven.h"

#include <algorithm>
#include <climits>
#include <random>
#include <thread>

#include "lib/client/client_state.h"
#include "lib/client/error.h"
#include "lib/client/queries.h"
#include "lib/connection/lifecycle.h"
#include "lib/connection/receiver.h"
#include "lib/connection/send.h"
#include "lib/connection/tls_stream.h"

namespace palaver {
namespace {

using Clock = std::chrono::steady_clock;

// What one process() reads at most, so that one busy client cannot starve
// the others a host serves from the same loop; the rest waits for the next
// call, which next_timeout_ms() asks for at once.
constexpr std::size_t kReadBudget = 256 * 1024;
// How often a host's loop looks while a reconnect try runs in the background.
constexpr int kTryLookMs = 50;
// A drained buffer larger than this gives its memory back.
constexpr std::size_t kKeptCapacity = 64 * 1024;

int ms_until(Clock::time_point when) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(when - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, INT_MAX));
}

unsigned jitter_random() {
    thread_local std::minstd_rand random(std::random_device{}());
    return static_cast<unsigned>(random());
}

// What waits now must be taken within the send limit from now.
void mark(SendBuffer& out) {
    out.markLeft = out.bytes.size() - out.sent;
    out.stalledSince = Clock::now();
}

// Bytes were added without a write, for the loop's next turn; `before`
// waited already.
void note_waiting(SendBuffer& out, std::size_t before) {
    if (before == 0) {
        mark(out);
    }
    out.waiting.store(out.bytes.size() - out.sent);
    out.untried.store(true);
}

Clock::duration send_limit_of(const Connection& c) {
    return std::chrono::milliseconds(c.sendLimitMs.load(std::memory_order_relaxed));
}

// Reads what arrived, within the budget; false when the stream ended.
bool read_available(ClientState& state, DrivenState& d, platform::SocketHandle s) {
    Connection& c = state.connection;
    std::size_t budget = kReadBudget;
    bool any = false;
    bool open = true;
    d.moreNow = false;
    for (;;) {
        std::size_t got = 0;
        bool filled = false;
        const Receiver::Read read = d.receiver->read_once(c, s, c.tls.get(), &got, &filled);
        if (read == Receiver::Read::Some) {
            any = true;
            if (got >= budget) {
                d.moreNow = true;
                break;
            }
            budget -= got;
            // A plain socket that gave less than the room offered is empty:
            // no read that would only find nothing. TLS reads on, as the
            // session may hold decrypted bytes the socket no longer shows.
            if (!filled && c.tls == nullptr) {
                break;
            }
            continue;
        }
        open = read == Receiver::Read::Idle;
        break;
    }
    if (any) {
        state.room.events.notify();
    }
    return open;
}

// Reads, then writes, the KeepAlive and the send limit: one turn of the
// connection. Ends it (connection_lost) when it broke or stalled.
void serve(ClientState& state, DrivenState& d, platform::SocketHandle s) {
    Connection& c = state.connection;
    if (!read_available(state, d, s)) {
        connection_lost(c, s);
        return;
    }
    if (d.keepAlive.due() && !send_keep_alive(c, location_key_of(state.room.self))) {
        return;  // the failed send ended the connection
    }
    std::lock_guard<SendLock> hold(c.sendLock);
    if (!flush_send_buffer(c, s) ||
        (d.out.waiting.load() != 0 && Clock::now() - d.out.stalledSince >= send_limit_of(c))) {
        connection_lost(c, s);
    }
}

// The break of the open connection, told once: the waits learn of it, and
// a client that reconnects schedules its first try.
void handle_break(ClientState& state, DrivenState& d, platform::SocketHandle s) {
    Connection& c = state.connection;
    d.breakSeen = true;
    connection_lost(c, s);
    if (!c.reconnect.enabled.load()) {
        state.room.events.set_broken(true);
        return;
    }
    d.tries = 0;
    d.nextTry = Clock::now() + c.reconnect.delays().before_try(0, jitter_random());
    c.reconnect.begin(state.room.events);
}

// The try's outcome, once its thread has ended: the next try scheduled, or
// no more. The caller holds d.lock.
void after_try(ClientState& state, DrivenState& d, Reconnect::Outcome outcome) {
    Connection& c = state.connection;
    if (outcome == Reconnect::Outcome::Failed) {
        const ReconnectDelays delays = c.reconnect.delays();
        ++d.tries;
        if (delays.maxTries > 0 && d.tries >= delays.maxTries) {
            c.reconnect.give_up(c, state.room.events);
        } else {
            d.nextTry = Clock::now() + delays.before_try(d.tries, jitter_random());
        }
    } else if (outcome != Reconnect::Outcome::Back) {
        c.reconnect.give_up(c, state.room.events);
    }
}

// A try blocks like a Login (up to 10 s): it runs on a thread of its own,
// the connection's idle receive thread, so process() never blocks the host.
void try_in_background(void* context) {
    auto& state = *static_cast<ClientState*>(context);
    DrivenState& d = *state.connection.driven;
    Reconnect::Outcome outcome;
    try {
        outcome = state.connection.reconnect.try_once(state);
    } catch (...) {
        outcome = Reconnect::Outcome::Failed;
    }
    d.tryOutcome.store(static_cast<int>(outcome));
    d.tryState.store(DrivenState::TryDone);
    state.room.events.changed();  // a poller or descriptor wakes its loop
}

}  // namespace

DrivenState::DrivenState() = default;
DrivenState::~DrivenState() = default;

bool prepare_driven(ClientState& state, platform::SocketHandle s) {
    DrivenState& d = *state.connection.driven;
    d.receiver = std::make_unique<Receiver>(state.room);
    d.keepAlive = KeepAliveClock();
    d.moreNow = false;
    d.breakSeen = false;
    d.tries = 0;
    d.out.bytes.clear();
    d.out.sent = 0;
    d.out.waiting.store(0);
    return platform::set_nonblocking(s);
}

bool flush_send_buffer(Connection& c, platform::SocketHandle s) {
    SendBuffer& out = c.driven->out;
    out.untried.store(false);
    const std::size_t before = out.bytes.size() - out.sent;
    while (out.sent < out.bytes.size()) {
        const long n =
            platform::send_some(s, out.bytes.data() + out.sent, out.bytes.size() - out.sent);
        if (n < 0) {
            return false;
        }
        if (n == 0) {
            break;
        }
        out.sent += static_cast<std::size_t>(n);
    }
    const std::size_t left = out.bytes.size() - out.sent;
    out.markLeft -= std::min(out.markLeft, before - std::min(before, left));
    if (left == 0) {
        out.bytes.clear();
        out.sent = 0;
        out.markLeft = 0;
        if (out.bytes.capacity() > kKeptCapacity) {
            std::vector<std::uint8_t>().swap(out.bytes);
        }
    } else {
        if (out.sent >= out.bytes.size() / 2) {
            // A buffer that never drains whole must not keep what went out.
            out.bytes.erase(out.bytes.begin(),
                            out.bytes.begin() + static_cast<std::ptrdiff_t>(out.sent));
            out.sent = 0;
        }
        if (out.markLeft == 0) {
            mark(out);
        }
    }
    out.waiting.store(left);
    return true;
}

void queue_records(Connection& c, const std::uint8_t* bytes, std::size_t count) {
    SendBuffer& out = c.driven->out;
    const bool empty = out.bytes.size() == out.sent;
    out.bytes.insert(out.bytes.end(), bytes, bytes + count);
    if (empty) {
        mark(out);
    }
    out.waiting.store(out.bytes.size() - out.sent);
}

bool queue_message(Connection& c, const std::uint8_t* bytes, std::size_t count) {
    SendBuffer& out = c.driven->out;
    std::lock_guard<SendLock> hold(c.sendLock);
    const platform::SocketHandle s = c.socket.load();
    if (s == platform::kNoSocket || !c.connected.load()) {
        set_error(PALAVER_E_NOT_CONNECTED);
        return false;
    }
    const std::size_t waiting = out.bytes.size() - out.sent;
    // Whole messages only: one that does not fit is refused before a byte of
    // it is sent or sealed, and the host may send it again later.
    if (waiting != 0 && waiting + count > out.limit.load()) {
        set_error(PALAVER_E_BUSY);
        return false;
    }
    // With batching on, a send on the thread that drives the client waits
    // for the loop's next turn, which writes everything sent meanwhile in
    // one call; the host's loop asks palaver_want_write (or the time-out)
    // after its sends. From any other thread it goes at once, as that loop
    // may be asleep in its wait.
    const bool later =
        c.driven->batching.load(std::memory_order_relaxed) &&
        c.driven->driver.load(std::memory_order_relaxed) == std::this_thread::get_id();
    bool sent;
    if (c.tls != nullptr) {
        sent = c.tls->seal(bytes, count, out.bytes) && (later || flush_send_buffer(c, s));
        if (later && sent) {
            note_waiting(out, waiting);
        }
    } else if (later) {
        out.bytes.insert(out.bytes.end(), bytes, bytes + count);
        note_waiting(out, waiting);
        sent = true;
    } else if (waiting == 0) {
        // The usual case: the socket takes it all at once, nothing is copied.
        const long n = platform::send_some(s, bytes, count);
        sent = n >= 0;
        if (sent && static_cast<std::size_t>(n) < count) {
            out.bytes.assign(bytes + n, bytes + count);
            out.sent = 0;
            mark(out);
            out.waiting.store(out.bytes.size());
        }
    } else {
        out.bytes.insert(out.bytes.end(), bytes, bytes + count);
        sent = flush_send_buffer(c, s);
    }
    if (!sent) {
        connection_lost(c, s);
        set_error(PALAVER_E_SEND);
        return false;
    }
    return true;
}

void write_now(ClientState& state) {
    Connection& c = state.connection;
    std::lock_guard<SendLock> hold(c.sendLock);
    const platform::SocketHandle s = c.socket.load();
    if (s != platform::kNoSocket && c.connected.load() && c.driven->out.waiting.load() != 0 &&
        !flush_send_buffer(c, s)) {
        connection_lost(c, s);  // the next process() tells the waits
    }
}

void process(ClientState& state) {
    Connection& c = state.connection;
    DrivenState& d = *c.driven;
    d.driver.store(std::this_thread::get_id(), std::memory_order_relaxed);
    bool tryNow;
    {
        std::lock_guard<std::mutex> hold(d.lock);
        const platform::SocketHandle s = c.socket.load();
        if (s != platform::kNoSocket && c.connected.load() && d.receiver != nullptr) {
            serve(state, d, s);
        }
        // Broken here, under a sender, or by the send limit.
        if (s != platform::kNoSocket && !c.connected.load() && !c.hostEnding.load() &&
            !d.breakSeen) {
            handle_break(state, d, s);
        }
        if (d.tryState.load() == DrivenState::TryDone) {
            c.receiver.join();
            d.tryState.store(DrivenState::TryIdle);
            after_try(state, d, static_cast<Reconnect::Outcome>(d.tryOutcome.load()));
        }
        tryNow = c.reconnect.away.load() && d.tryState.load() == DrivenState::TryIdle &&
                 Clock::now() >= d.nextTry;
        if (tryNow) {
            d.tryState.store(DrivenState::TryRunning);
        }
    }
    if (tryNow && !c.receiver.start(try_in_background, &state)) {
        // No thread to be had: the try runs here, blocking like a Login.
        try_in_background(&state);
    }
}

int next_timeout_ms(ClientState& state) {
    Connection& c = state.connection;
    DrivenState& d = *c.driven;
    std::lock_guard<std::mutex> hold(d.lock);
    const platform::SocketHandle s = c.socket.load();
    if (s != platform::kNoSocket && c.connected.load()) {
        if (d.moreNow || d.out.untried.load()) {
            return 0;  // bytes left to read, or batched sends never tried yet
        }
        Clock::time_point due = d.keepAlive.next();
        if (d.out.waiting.load() != 0) {  // the lock only when bytes wait
            std::lock_guard<SendLock> sending(c.sendLock);
            due = std::min(due, d.out.stalledSince + send_limit_of(c));
        }
        return ms_until(due);
    }
    if (s != platform::kNoSocket && !c.hostEnding.load() && !d.breakSeen) {
        return 0;  // broken under a sender: process() tells the waits
    }
    switch (d.tryState.load()) {
        case DrivenState::TryDone:
            return 0;
        case DrivenState::TryRunning:
            return kTryLookMs;  // a loop with nothing else to wake it looks again soon
        default:
            return c.reconnect.away.load() ? ms_until(d.nextTry) : -1;
    }
}

bool want_write(const Connection& c) {
    return c.driven != nullptr && c.connected.load() && c.driven->out.waiting.load() != 0;
}

int wait_driven(ClientState& state, int timeoutMs, int wakeBit) {
    RoomEvents& events = state.room.events;
    auto ready = [&state] { return pending_events(state.room); };
    const unsigned round = events.round();
    const auto until = Clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
    for (;;) {
        process(state);
        int bits = events.wait(ready, std::chrono::milliseconds(0), wakeBit);
        if (events.round() != round) {
            bits |= wakeBit;  // a Logout woke every wait
        }
        const int left = timeoutMs < 0 ? -1 : ms_until(until);
        if (bits != 0 || left == 0) {
            return bits;
        }
        const int next = next_timeout_ms(state);
        const platform::SocketHandle s = state.connection.connected.load()
                                             ? state.connection.socket.load()
                                             : platform::kNoSocket;
        if (s == platform::kNoSocket && next < 0) {
            // Nothing to drive: an ordinary wait, which wakes hear at once.
            return events.wait(ready, std::chrono::milliseconds(left), wakeBit);
        }
        int slice = next < 0 ? left : (left < 0 ? next : std::min(left, next));
        platform::EventSignal* signal = state.watch.signal();
        if (signal == nullptr) {
            slice = slice < 0 ? 50 : std::min(slice, 50);  // no signal: look again often
        }
        platform::SocketWatch socket{s, want_write(state.connection)};
        platform::wait_any(&socket, s != platform::kNoSocket ? 1 : 0, signal, slice);
    }
}

}  // namespace palaver
