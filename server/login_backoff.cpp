#include "server/login_backoff.h"

#include <algorithm>

namespace palaver::server {

Clock::duration LoginBackoff::delay(std::size_t failures) {
    if (failures < kFreeFailures) {
        return Clock::duration::zero();
    }
    std::size_t doublings = std::min<std::size_t>(failures - kFreeFailures, 16);
    return std::min<Clock::duration>(kFirstDelay * (std::size_t{1} << doublings), kMaxDelay);
}

std::optional<Clock::time_point> LoginBackoff::reserve(const std::optional<AddressKey>& address,
                                                       const std::string& name,
                                                       Clock::time_point now) {
    Entry* byAddress = nullptr;
    if (address) {
        auto found = byAddress_.find(*address);
        byAddress = found == byAddress_.end() ? nullptr : &found->second;
    }
    auto foundName = byName_.find(name);
    Entry* byName = foundName == byName_.end() ? nullptr : &foundName->second;
    Clock::time_point at = now;
    for (const Entry* entry : {byAddress, byName}) {
        if (entry != nullptr) {
            at = std::max(at, entry->next);
        }
    }
    if (at - now > kMaxWait) {
        return std::nullopt;
    }
    // The slot is taken as though this check failed too: the next one waits
    // its turn; a success clears the entry.
    for (Entry* entry : {byAddress, byName}) {
        if (entry != nullptr) {
            entry->next = std::max(entry->next, at + delay(entry->failures));
        }
    }
    return at;
}

template <class Table, class Key>
void LoginBackoff::fail(Table& table, const Key& key, Clock::time_point now) {
    auto found = table.find(key);
    if (found == table.end()) {
        if (table.size() >= kMaxEntries) {
            return;  // full: the sweep makes room
        }
        found = table.emplace(key, Entry{}).first;
    }
    Entry& entry = found->second;
    ++entry.failures;
    entry.lastFailure = now;
    entry.next = std::max(entry.next, now + delay(entry.failures));
}

void LoginBackoff::failed(const std::optional<AddressKey>& address, const std::string& name,
                          Clock::time_point now) {
    if (address) {
        fail(byAddress_, *address, now);
    }
    fail(byName_, name, now);
}

void LoginBackoff::succeeded(const std::optional<AddressKey>& address, const std::string& name) {
    if (address) {
        byAddress_.erase(*address);
    }
    byName_.erase(name);
}

void LoginBackoff::sweep(Clock::time_point now) {
    auto stale = [now](const auto& item) {
        return now - item.second.lastFailure >= kForgetAfter && now >= item.second.next;
    };
    for (auto it = byAddress_.begin(); it != byAddress_.end();) {
        it = stale(*it) ? byAddress_.erase(it) : std::next(it);
    }
    for (auto it = byName_.begin(); it != byName_.end();) {
        it = stale(*it) ? byName_.erase(it) : std::next(it);
    }
}

}  // namespace palaver::server
