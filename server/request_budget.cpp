#include "server/request_budget.h"

#include <algorithm>
#include <chrono>

namespace palaver::server {

RequestBudget::RequestBudget(double rate, double burst, Clock::time_point now)
    : rate_(rate), burst_(burst), credits_(burst), at_(now) {}

void RequestBudget::refill(Clock::time_point now) {
    if (now > at_) {
        double seconds = std::chrono::duration<double>(now - at_).count();
        credits_ = std::min(burst_, credits_ + seconds * rate_);
        at_ = now;
    }
}

bool RequestBudget::spend(double cost, Clock::time_point now) {
    if (rate_ <= 0) {
        return true;
    }
    refill(now);
    if (credits_ <= 0) {
        return false;
    }
    credits_ -= cost;
    return true;
}

Clock::time_point RequestBudget::ready_at() const {
    if (rate_ <= 0 || credits_ > 0) {
        return at_;
    }
    auto wait = std::chrono::duration<double>(-credits_ / rate_);
    // A hair past zero, so that the budget is in credit when the time comes.
    return at_ + std::chrono::duration_cast<Clock::duration>(wait) + std::chrono::milliseconds(1);
}

}  // namespace palaver::server
