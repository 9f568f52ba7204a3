// One line in flight in a room of R members, for the one-way latency: the
// member whose arrival completes line k (the last of the R - 1 others to take
// it) sends line k + 1 at once, so a line never queues behind another. Every
// member sees every line, its own as the echo, exactly once and in order;
// the book checks that, and keeps each delivery's send and arrival times.
#ifndef PALAVER_BENCH_TURN_BOOK_H
#define PALAVER_BENCH_TURN_BOOK_H

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace palaver::bench {

class TurnBook {
  public:
    using Clock = std::chrono::steady_clock;

    TurnBook(std::size_t members, std::size_t lines);

    std::size_t members() const { return members_; }
    // The number line k carries when member `sender` sends it: the receivers
    // check both from it.
    std::uint64_t number_of(std::size_t k, std::size_t sender) const {
        return k * members_ + sender;
    }
    // Stamps line k as sent; called by its sender just before the send.
    void sending(std::size_t k) { sentAt_[k] = Clock::now(); }
    // Member `self` took a line numbered `number` from member `from` at
    // `taken`. Throws unless it is the line due from that member. True when
    // `self` completed the line and must now send line seen(self), which is
    // below lines() then.
    bool took(std::size_t self, std::size_t from, std::uint64_t number, Clock::time_point taken);
    // Lines member `self` has seen, its echoes included.
    std::size_t seen(std::size_t self) const { return seen_[self]; }
    bool done(std::size_t self) const { return seen_[self] == lines_; }
    std::size_t lines() const { return lines_; }

    // Microseconds from the send to each other member's taking the line, one
    // sample per delivery; and to the last member's, one per line. Sorted.
    std::vector<double> delivery_samples() const;
    std::vector<double> whole_room_samples() const;

  private:
    std::size_t members_;
    std::size_t lines_;
    std::vector<Clock::time_point> sentAt_;
    // Line k, member j at k * members_ + j; left at zero for the sender.
    std::vector<Clock::time_point> takenAt_;
    std::unique_ptr<std::atomic<std::uint32_t>[]> receivers_;
    std::vector<std::size_t> seen_;  // each member's own slot, written by its host only
};

}  // namespace palaver::bench

#endif
