#include "lib/connection/reconnect.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <thread>

#include "lib/client/client_state.h"
#include "lib/client/error.h"
#include "lib/connection/login_steps.h"
#include "lib/connection/tls_stream.h"
#include "palaver_c.h"

namespace palaver {

std::chrono::milliseconds ReconnectDelays::before_try(int tries, unsigned random) const {
    long long delay = minMs;
    for (int i = 0; i < tries && delay < maxMs; ++i) {
        delay *= 2;
    }
    delay = std::min<long long>(std::max<long long>(delay, minMs), maxMs);
    // Moved by up to jitterPercent either way, so clients cut off together
    // do not all come back in the same instant.
    const long long spread = delay * jitterPercent / 100;
    if (spread > 0) {
        delay += static_cast<long long>(random % static_cast<unsigned>(2 * spread + 1)) - spread;
    }
    return std::chrono::milliseconds(std::max<long long>(delay, 0));
}

void Reconnect::set_delays(const ReconnectDelays& delays) {
    std::lock_guard<std::mutex> hold(lock_);
    delays_ = delays;
}

ReconnectDelays Reconnect::delays() const {
    std::lock_guard<std::mutex> hold(lock_);
    return delays_;
}

void Reconnect::remember(const stUserInfo& record, const char* login, std::size_t length) {
    std::lock_guard<std::mutex> hold(lock_);
    record_ = record;
    length = std::min(length, login_.size() - 1);
    std::memcpy(login_.data(), login, length);
    login_[length] = '\0';
    loginLength_ = length;
    known_ = true;
}

void Reconnect::forget() {
    std::lock_guard<std::mutex> hold(lock_);
    login_.fill('\0');
    known_ = false;
}

Reconnect::Outcome Reconnect::try_once(ClientState& state) {
    Connection& c = state.connection;
    stUserInfo user;
    std::array<char, 21> login;
    std::size_t length;
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (!known_) {
            return Outcome::Stop;
        }
        user = record_;
        login = login_;
        length = loginLength_;
    }
    set_error(PALAVER_OK);
    const LoginLimit limit(c, c.logouts.load(), &c.hostEnding);
    PendingSocket socket;
    std::unique_ptr<TlsStream> tls;
    std::int32_t status = 0;
    int result;
    try {
        result =
            establish_connection(state, user, login.data(), length, limit, status, socket, tls);
    } catch (const std::bad_alloc&) {
        set_error(PALAVER_E_NO_MEMORY);
        result = 0;
    }
    if (result != 1) {
        lastError.store(last_error_code());
        if (limit.called_off()) {
            return Outcome::Abandoned;
        }
        return last_error_code() == PALAVER_E_REFUSED ? Outcome::Stop : Outcome::Failed;
    }
    // A Logout holds the lifecycle lock while it waits for the receive
    // thread: that thread must not block on the lock, only see the end.
    std::unique_lock<std::mutex> lifecycle(c.lifecycleLock, std::defer_lock);
    while (!lifecycle.try_lock()) {
        if (limit.called_off()) {
            return Outcome::Abandoned;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (limit.called_off()) {
        return Outcome::Abandoned;
    }
    if (!install_connection(state, socket, tls)) {
        lastError.store(PALAVER_E_CONNECT);
        return Outcome::Failed;
    }
    lastError.store(PALAVER_OK);
    away.store(false);
    state.room.events.report_once(PALAVER_EVENT_RECONNECTED);
    return Outcome::Back;
}

void Reconnect::begin(RoomEvents& events) {
    lastError.store(PALAVER_OK);
    away.store(true);  // before the waits hear of the break: they see the tries
    events.report_once(PALAVER_EVENT_DISCONNECTED);
}

void Reconnect::give_up(const Connection& c, RoomEvents& events) {
    away.store(false);
    if (!c.hostEnding.load() && !c.closing.load()) {
        events.set_broken(true);  // for good now: reported until logout or login
    }
}

bool reconnect_from_thread(ClientState& state) {
    Connection& c = state.connection;
    Reconnect& r = c.reconnect;
    if (!r.enabled.load()) {
        state.room.events.set_broken(true);
        return false;
    }
    r.begin(state.room.events);
    std::minstd_rand random(std::random_device{}());
    const unsigned logoutsBefore = c.logouts.load();
    auto ended = [&] {
        return c.hostEnding.load() || c.closing.load() || c.logouts.load() != logoutsBefore ||
               !r.away.load();
    };
    for (int tries = 0;; ++tries) {
        const ReconnectDelays delays = r.delays();
        if (delays.maxTries > 0 && tries >= delays.maxTries) {
            break;
        }
        // The back-off, in short slices so that a Logout ends it at once.
        const auto until = std::chrono::steady_clock::now() +
                           delays.before_try(tries, static_cast<unsigned>(random()));
        while (!ended() && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
                std::chrono::milliseconds(10), until - std::chrono::steady_clock::now()));
        }
        if (ended()) {
            break;
        }
        switch (r.try_once(state)) {
            case Reconnect::Outcome::Back:
                return true;
            case Reconnect::Outcome::Failed:
                continue;
            case Reconnect::Outcome::Stop:
            case Reconnect::Outcome::Abandoned:
                r.give_up(c, state.room.events);
                return false;
        }
    }
    r.give_up(c, state.room.events);
    return false;
}

}  // namespace palaver
