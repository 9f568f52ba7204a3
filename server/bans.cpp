#include "server/bans.h"

#include <algorithm>

namespace palaver::server {
namespace {

constexpr long long kLongestBanMinutes = 100LL * 366 * 24 * 60;

}  // namespace

Bans::Until Bans::end_of(long long minutes, Clock::time_point now) {
    return std::chrono::time_point_cast<std::chrono::seconds>(now) +
           std::chrono::minutes(std::clamp(minutes, 0LL, kLongestBanMinutes));
}

Bans::Until Bans::latest(Clock::time_point now) {
    return end_of(kLongestBanMinutes, now);
}

bool Bans::ban(const std::string& name, long long minutes, Clock::time_point now) {
    return minutes > 0 && ban_until(name, end_of(minutes, now));
}

bool Bans::ban_until(const std::string& name, Until until) {
    until = std::min(until, latest(Clock::now()));
    auto& known = until_[name];
    if (until <= known) {
        return false;
    }
    known = until;
    return true;
}

bool Bans::unban(const std::string& name) {
    return until_.erase(name) != 0;
}

bool Bans::banned(std::string_view name, Clock::time_point now) {
    auto found = until_.find(std::string(name));
    if (found == until_.end()) {
        return false;
    }
    if (found->second <= now) {
        until_.erase(found);  // expired: forget it
        return false;
    }
    return true;
}

Bans::List Bans::list(Clock::time_point now) {
    List in_force;
    for (auto it = until_.begin(); it != until_.end();) {
        if (it->second <= now) {
            it = until_.erase(it);
        } else {
            in_force.emplace(it->first, it->second);
            ++it;
        }
    }
    return in_force;
}

void Bans::replace(const List& bans) {
    until_.clear();
    until_.insert(bans.begin(), bans.end());
}

}  // namespace palaver::server
