#include "turn_book.h"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace palaver::bench {
namespace {

double microseconds(TurnBook::Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

}  // namespace

TurnBook::TurnBook(std::size_t members, std::size_t lines)
    : members_(members),
      lines_(lines),
      sentAt_(lines),
      takenAt_(lines * members),
      receivers_(new std::atomic<std::uint32_t>[lines]),
      seen_(members, 0) {
    for (std::size_t k = 0; k < lines; ++k) {
        receivers_[k].store(0, std::memory_order_relaxed);
    }
}

bool TurnBook::took(std::size_t self, std::size_t from, std::uint64_t number,
                    Clock::time_point taken) {
    std::size_t due = seen_[self];
    if (due >= lines_ || number != number_of(due, from)) {
        throw std::runtime_error("member " + std::to_string(self) + " got " +
                                 std::to_string(number) + " from member " + std::to_string(from) +
                                 " where line " + std::to_string(due) + " was due");
    }
    seen_[self] = due + 1;
    if (from == self) {
        return false;  // the echo
    }
    takenAt_[due * members_ + self] = taken;
    // acq_rel: the line's last receiver sends the next one.
    bool last = receivers_[due].fetch_add(1, std::memory_order_acq_rel) + 2 == members_;
    return last && due + 1 < lines_;
}

std::vector<double> TurnBook::delivery_samples() const {
    std::vector<double> samples;
    samples.reserve(lines_ * (members_ - 1));
    for (std::size_t k = 0; k < lines_; ++k) {
        for (std::size_t j = 0; j < members_; ++j) {
            Clock::time_point taken = takenAt_[k * members_ + j];
            if (taken != Clock::time_point{}) {
                samples.push_back(microseconds(taken - sentAt_[k]));
            }
        }
    }
    std::sort(samples.begin(), samples.end());
    return samples;
}

std::vector<double> TurnBook::whole_room_samples() const {
    std::vector<double> samples;
    samples.reserve(lines_);
    for (std::size_t k = 0; k < lines_; ++k) {
        Clock::time_point last = sentAt_[k];
        for (std::size_t j = 0; j < members_; ++j) {
            last = std::max(last, takenAt_[k * members_ + j]);
        }
        samples.push_back(microseconds(last - sentAt_[k]));
    }
    std::sort(samples.begin(), samples.end());
    return samples;
}

}  // namespace palaver::bench
