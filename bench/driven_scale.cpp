#include "driven_scale.h"

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

#include "c_clients.h"
#include "driven_loop.h"
#include "fanout_lines.h"

namespace palaver::bench {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kDriveEvery = 100;  // logins between two turns of the loop
constexpr int kWaitMs = 100;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The clients and the one loop that drives them all, with what each has
// learnt: how many others it knows, which lines it took.
class DrivenCrowd {
  public:
    // For `count` clients in all, in rooms of `roomSize`.
    DrivenCrowd(std::size_t count, std::size_t roomSize, LoopKind loop, std::chrono::seconds stall)
        : loop_(DrivenLoop::make(loop)), count_(count), roomSize_(roomSize), stall_(stall) {}

    void add(std::uint16_t port) {
        std::size_t i = clients_.size();
        clients_.push_back(log_in(port, "d" + std::to_string(i),
                                  static_cast<std::uint32_t>(i / roomSize_),
                                  ClientKind::HostDriven));
        loop_->add(clients_.back().client.get(), i);
        memberOf_[clients_.back().id] = i;
        known_.push_back(0);
        lines_.push_back(0);
    }
    std::size_t size() const { return clients_.size(); }

    // Drives until every client knows the others of its room.
    void settle() {
        std::size_t settled = 0;
        for (std::size_t i = 0; i < size(); ++i) {
            take(i, palaver_wait(clients_[i].client.get(), 0));  // what the last logins left
            settled += knows_room(i) ? 1 : 0;
        }
        drive_until([&] { return settled == size(); },
                    [&](std::size_t i, int events) {
                        bool before = knows_room(i);
                        take(i, events);
                        settled += !before && knows_room(i) ? 1 : 0;
                    });
    }

    // The first member of each room sends the round's line, numbered by
    // round and room; drives until every client took it.
    void send_and_deliver(std::size_t round) {
        round_ = round;
        for (std::size_t first = 0; first < size(); first += roomSize_) {
            char text[kTextSize + 1];
            format_line(number_of(first / roomSize_), text);
            if (palaver_send_talk(clients_[first].client.get(), 0, text, 0) != 1) {
                throw std::runtime_error(last_error_text("palaver_send_talk"));
            }
        }
        std::size_t took = 0;
        drive_until([&] { return took == size(); },
                    [&](std::size_t i, int events) {
                        std::uint64_t before = lines_[i];
                        take(i, events);
                        took += lines_[i] - before;
                    });
    }

    // One turn that waits for nothing: what the logins so far brought.
    void drive_now() {
        loop_->turn(0, [this](std::size_t i, int events) { take(i, events); });
    }

  private:
    std::size_t room_members(std::size_t i) const {
        std::size_t first = i / roomSize_ * roomSize_;
        return std::min(first + roomSize_, count_) - first;
    }
    bool knows_room(std::size_t i) const { return known_[i] + 1 == room_members(i); }
    std::uint64_t number_of(std::size_t room) const {
        return round_ * ((count_ + roomSize_ - 1) / roomSize_) + room;
    }

    template <typename Done>
    void drive_until(Done done, const DrivenLoop::Take& take) {
        auto lastProgress = Clock::now();
        while (!done()) {
            if (loop_->turn(kWaitMs, take) > 0) {
                lastProgress = Clock::now();
            } else if (Clock::now() - lastProgress > stall_) {
                throw std::runtime_error("no progress for " + std::to_string(stall_.count()) +
                                         " s");
            }
        }
    }

    // Takes client i's user set and lines; checks every line.
    void take(std::size_t i, int events) {
        palaver_client* c = clients_[i].client.get();
        if (events < 0) {
            throw std::runtime_error(last_error_text("palaver_process"));
        }
        if ((events & PALAVER_EVENT_DISCONNECTED) != 0) {
            throw std::runtime_error("client " + std::to_string(i) + " lost its connection");
        }
        // Taken whenever reported, as a host keeping its own user list does:
        // a poller member with an untaken mark is reported at every wait.
        if ((events & PALAVER_EVENT_USERS) != 0) {
            users_.resize(roomSize_);
            std::size_t written = 0;
            if (palaver_get_users(c, users_.data(), users_.size(), &written) < 0) {
                throw std::runtime_error(last_error_text("palaver_get_users"));
            }
            known_[i] = written;
        }
        if ((events & PALAVER_EVENT_TALK) != 0) {
            take_lines(i);
        }
    }

    void take_lines(std::size_t i) {
        talk_.resize(64);
        int more;
        do {
            std::size_t written = 0;
            more = palaver_get_talk(clients_[i].client.get(), talk_.data(), talk_.size(), &written);
            for (std::size_t k = 0; k < written; ++k) {
                if (talk_[k].sender < 0) {
                    continue;  // an arrival notice
                }
                auto from = memberOf_.find(talk_[k].sender);
                std::size_t room = i / roomSize_;
                if (from == memberOf_.end() || from->second != room * roomSize_ ||
                    line_number(talk_[k].text, talk_[k].length) != number_of(room) ||
                    lines_[i] != round_) {
                    throw std::runtime_error("client " + std::to_string(i) +
                                             " took a line not sent to it, or twice");
                }
                ++lines_[i];
            }
        } while (more > 0);
    }

    std::unique_ptr<DrivenLoop> loop_;
    std::size_t count_;
    std::size_t roomSize_;
    std::chrono::seconds stall_;
    std::size_t round_ = 0;
    std::vector<LoggedIn> clients_;
    std::unordered_map<std::int32_t, std::size_t> memberOf_;
    std::vector<std::size_t> known_;
    std::vector<std::uint64_t> lines_;
    std::vector<stUserInfo> users_;
    std::vector<palaver_chat_line> talk_;
};

}  // namespace

DrivenScaleFigures driven_scale(std::uint16_t port, std::size_t count, std::size_t roomSize,
                                std::size_t rounds, LoopKind loop, std::chrono::seconds stall) {
    DrivenScaleFigures figures;
    figures.rooms = (count + roomSize - 1) / roomSize;
    figures.before = this_process();
    DrivenCrowd crowd(count, roomSize, loop, stall);
    auto start = Clock::now();
    for (std::size_t i = 0; i < count; ++i) {
        crowd.add(port);
        if ((i + 1) % kDriveEvery == 0) {
            crowd.drive_now();
        }
    }
    figures.loginSeconds = seconds_since(start);
    start = Clock::now();
    crowd.settle();
    figures.settleSeconds = seconds_since(start);
    figures.loggedIn = this_process();
    for (std::size_t round = 0; round < rounds; ++round) {
        start = Clock::now();
        crowd.send_and_deliver(round);
        figures.lineSeconds.push_back(seconds_since(start));
    }
    figures.afterLine = this_process();
    return figures;
}

}  // namespace palaver::bench
