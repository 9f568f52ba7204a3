#include "lib/connection/poller.h"

#include <algorithm>
#include <chrono>
#include <climits>

#include "lib/client/queries.h"
#include "lib/connection/host_driven.h"
#include "palaver_c.h"

namespace palaver {
namespace {

using Clock = std::chrono::steady_clock;

// Joining and leaving, process-wide: a client freed on one thread while its
// poller is freed on another never sees a poller half gone.
std::mutex& membership_lock() {
    static std::mutex lock;
    return lock;
}

int ms_until(Clock::time_point when) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(when - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, INT_MAX));
}

}  // namespace

PollerState::PollerState() : wake_(platform::EventSignal::make()) {}

PollerState::~PollerState() {
    std::lock_guard<std::mutex> membership(membership_lock());
    std::lock_guard<std::mutex> members(membersLock_);
    for (auto& entry : members_) {
        entry.second.state->watch.leave(this);
    }
}

bool PollerState::add(ClientState& state, void* member) {
    std::lock_guard<std::mutex> membership(membership_lock());
    std::lock_guard<std::mutex> members(membersLock_);
    if (!state.watch.join(this, member)) {
        return false;
    }
    members_[member] = Member{&state};
    return true;
}

bool PollerState::remove(ClientState& state) {
    std::lock_guard<std::mutex> membership(membership_lock());
    return remove_locked(state);
}

bool PollerState::remove_locked(ClientState& state) {
    std::lock_guard<std::mutex> members(membersLock_);
    void* member = nullptr;
    if (!state.watch.leave(this, &member)) {
        return false;
    }
    members_.erase(member);
    return true;
}

void PollerState::leave_any(ClientState& state) {
    std::lock_guard<std::mutex> membership(membership_lock());
    if (auto* poller = static_cast<PollerState*>(state.watch.listener())) {
        poller->remove_locked(state);
    }
}

void PollerState::member_changed(void* member) {
    std::lock_guard<std::mutex> hold(readyLock_);
    if (flaggedSet_.insert(member).second) {
        flagged_.push_back(member);
        wake_->raise();
    }
}

void PollerState::wakeup() {
    std::lock_guard<std::mutex> hold(readyLock_);
    wakeAsked_ = true;
    wake_->raise();
}

std::size_t PollerState::collect(Ready* ready, std::size_t capacity) {
    std::vector<void*> looking;
    bool woken;
    {
        std::lock_guard<std::mutex> hold(readyLock_);
        looking.swap(flagged_);
        flaggedSet_.clear();
        woken = wakeAsked_;
        wakeAsked_ = false;
        wake_->lower();
    }
    std::size_t count = 0;
    if (woken && capacity > 0) {
        ready[count++] = Ready{nullptr, PALAVER_EVENT_WAKEUP};
    }
    std::vector<void*> still;
    for (void* member : looking) {
        auto it = members_.find(member);
        if (it == members_.end()) {
            continue;  // left since it was flagged
        }
        if (count == capacity) {
            still.push_back(member);  // for the next wait
            continue;
        }
        RoomState& room = it->second.state->room;
        const int events = room.events.wait([&room] { return pending_events(room); },
                                            std::chrono::milliseconds(0), PALAVER_EVENT_WAKEUP);
        if (events != 0) {
            ready[count++] = Ready{member, events};
            still.push_back(member);  // level: reported again while it has something
        }
    }
    // Kept flagged without raising the wake-up: the next wait looks first.
    std::lock_guard<std::mutex> hold(readyLock_);
    for (void* member : still) {
        if (flaggedSet_.insert(member).second) {
            flagged_.push_back(member);
        }
    }
    return count;
}

void PollerState::wait_and_process(std::unique_lock<std::mutex>& members, int timeoutMs) {
    std::vector<platform::SocketWatch> sockets;
    std::vector<void*> owners;
    std::vector<void*> due;
    int slice = timeoutMs;
    for (auto& entry : members_) {
        ClientState& state = *entry.second.state;
        if (state.connection.driven == nullptr) {
            continue;
        }
        const int next = next_timeout_ms(state);
        if (next == 0) {
            due.push_back(entry.first);
            continue;
        }
        if (next > 0) {
            slice = slice < 0 ? next : std::min(slice, next);
        }
        const platform::SocketHandle s = state.connection.socket.load();
        if (s != platform::kNoSocket && state.connection.connected.load()) {
            // What the host sent since the last wait goes out now, in one
            // write, instead of after a wait for the socket to be writable.
            if (want_write(state.connection)) {
                write_now(state);
            }
            sockets.push_back({s, want_write(state.connection)});
            owners.push_back(entry.first);
        }
    }
    if (due.empty()) {
        members.unlock();
        platform::wait_any(sockets.data(), sockets.size(), wake_.get(), slice);
        members.lock();
        for (std::size_t i = 0; i < sockets.size(); ++i) {
            if (sockets[i].ready) {
                due.push_back(owners[i]);
            }
        }
        // Timers that came due during the wait.
        for (auto& entry : members_) {
            if (entry.second.state->connection.driven != nullptr &&
                next_timeout_ms(*entry.second.state) == 0) {
                due.push_back(entry.first);
            }
        }
    }
    for (void* member : due) {
        auto it = members_.find(member);
        if (it != members_.end()) {
            process(*it->second.state);  // what it stores flags it
        }
    }
}

std::size_t PollerState::wait(Ready* ready, std::size_t capacity, int timeoutMs) {
    const auto until = Clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
    std::unique_lock<std::mutex> members(membersLock_);
    for (;;) {
        const int left = timeoutMs < 0 ? -1 : ms_until(until);
        bool flagged;
        {
            std::lock_guard<std::mutex> hold(readyLock_);
            flagged = !flagged_.empty() || wakeAsked_;
        }
        // The sockets are looked at on every wait, without blocking when a
        // member has something already: one that stays ready (its host takes
        // only part) must not keep the others' bytes from being read.
        wait_and_process(members, flagged ? 0 : left);
        const std::size_t count = collect(ready, capacity);
        if (count > 0 || left == 0) {
            return count;
        }
    }
}

}  // namespace palaver
