#include "server/bans.h"

#include <algorithm>

namespace palaver::server {
namespace {

constexpr long long kLongestBanMinutes = 100LL * 366 * 24 * 60;

}  // namespace

void Bans::ban(const std::string& name, long long minutes, Clock::time_point now) {
    if (minutes <= 0) {
        return;
    }
    ban_until(name, now + std::chrono::minutes(std::min(minutes, kLongestBanMinutes)));
}

void Bans::ban_until(const std::string& name, Clock::time_point until) {
    auto& known = until_[name];
    known = std::max(known, until);
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

}  // namespace palaver::server
