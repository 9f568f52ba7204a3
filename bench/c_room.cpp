#include "c_room.h"

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "driven_wait.h"
#include "fanout_lines.h"
#include "host_group.h"
#include "room_members.h"

namespace palaver::bench {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kWaitMs = 100;  // hosts look at the stop flag at least this often
constexpr std::size_t kBatch = 256;

struct LineText {
    char text[kTextSize + 1];
};

// One member's host: sends its lines, and checks that every member's lines
// reach it once each and in order.
class Host {
  public:
    Host(const RoomMembers& room, std::size_t self, HostGroup& group, SendMode mode)
        : room_(room),
          self_(self),
          client_(room.client(self)),
          group_(group),
          mode_(mode),
          driven_(palaver_is_host_driven(client_) != 0),
          next_(room.size(), 0),
          batch_(kBatch),
          users_(room.size()),
          texts_(kWindow),
          textPointers_(kWindow) {}

    // False when a host-driven client's send buffer is full: the line waits
    // for the next turn.
    bool send(std::uint64_t number) {
        char text[kTextSize + 1];
        format_line(number, text);
        if (palaver_send_talk(client_, 0, text, 0) != 1) {
            if (palaver_last_error() == PALAVER_E_BUSY) {
                return false;
            }
            throw std::runtime_error(last_error_text("palaver_send_talk"));
        }
        ++sent_;
        return true;
    }
    // Sends while fewer than kWindow of its lines are ahead of their echo:
    // one call per line, or all of them in one call.
    void send_window(std::uint64_t lines) {
        if (mode_ == SendMode::EachLine) {
            while (sent_ < lines && sent_ - next_[self_] < kWindow && send(sent_)) {
            }
            return;
        }
        std::size_t n = 0;
        for (; sent_ + n < lines && sent_ + n - next_[self_] < kWindow; ++n) {
            format_line(sent_ + n, texts_[n].text);
            textPointers_[n] = texts_[n].text;
        }
        if (n > 0 && palaver_send_talks(client_, 0, textPointers_.data(), n, 0) != 1) {
            if (palaver_last_error() == PALAVER_E_BUSY) {
                return;
            }
            throw std::runtime_error(last_error_text("palaver_send_talks"));
        }
        sent_ += n;
    }
    // Waits up to kWaitMs for lines and takes them all; `arrived(member,
    // number, woken, taken)` is called for each line, `woken` being the moment
    // the wait returned and `taken` the moment palaver_get_talk returned it.
    // A host-driven client's wait polls its socket and processes it.
    template <typename F>
    void wait_and_take(F&& arrived) {
        int events = driven_ ? drive_once(client_, kWaitMs) : palaver_wait(client_, kWaitMs);
        Clock::time_point woken = Clock::now();
        if (events < 0) {
            throw std::runtime_error(last_error_text("palaver_wait"));
        }
        if ((events & PALAVER_EVENT_DISCONNECTED) != 0) {
            throw std::runtime_error("a connection ended");
        }
        if ((events & PALAVER_EVENT_USERS) != 0) {
            take_users();
        }
        if ((events & PALAVER_EVENT_TALK) == 0) {
            return;
        }
        std::uint64_t count = 0;
        int more;
        do {
            std::size_t written = 0;
            more = palaver_get_talk(client_, batch_.data(), batch_.size(), &written);
            if (more < 0) {
                throw std::runtime_error(last_error_text("palaver_get_talk"));
            }
            Clock::time_point taken = Clock::now();
            for (std::size_t i = 0; i < written; ++i) {
                count += check(batch_[i], woken, taken, arrived);
            }
        } while (more > 0);
        lastArrival_ = woken;
        group_.progress(count);
    }

    std::uint64_t received() const { return received_; }
    std::uint64_t delivered() const { return delivered_; }
    std::uint64_t sent() const { return sent_; }
    std::uint64_t next_of(std::size_t member) const { return next_[member]; }
    Clock::time_point last_arrival() const { return lastArrival_; }

  private:
    // The wait reports a changed user set until it is read, as a host keeping
    // its own user list reads it.
    void take_users() {
        std::size_t written = 0;
        if (palaver_get_users(client_, users_.data(), users_.size(), &written) < 0) {
            throw std::runtime_error(last_error_text("palaver_get_users"));
        }
    }

    template <typename F>
    int check(const palaver_chat_line& line, Clock::time_point woken, Clock::time_point taken,
              F& arrived) {
        if (line.sender < 0) {
            return 0;  // a notice: the arrivals of members that logged in later
        }
        std::size_t from = room_.index_of(line.sender);
        std::uint64_t number = line_number(line.text, line.length);
        if (from == room_.size() || number == kNotALine) {
            throw std::runtime_error("a line that was never sent");
        }
        if (number != next_[from]) {
            throw std::runtime_error("member " + std::to_string(self_) + " got line " +
                                     std::to_string(number) + " of member " + std::to_string(from) +
                                     " where " + std::to_string(next_[from]) + " was due");
        }
        ++next_[from];
        ++received_;
        delivered_ += from == self_ ? 0 : 1;
        arrived(from, number, woken, taken);
        return 1;
    }

    const RoomMembers& room_;
    std::size_t self_;
    palaver_client* client_;
    HostGroup& group_;
    SendMode mode_;
    bool driven_;
    std::vector<std::uint64_t> next_;  // next line number due from each member
    std::vector<palaver_chat_line> batch_;
    std::vector<stUserInfo> users_;
    std::vector<LineText> texts_;  // a window's lines for palaver_send_talks
    std::vector<const char*> textPointers_;
    std::uint64_t sent_ = 0;
    std::uint64_t received_ = 0;
    std::uint64_t delivered_ = 0;
    Clock::time_point lastArrival_;
};

}  // namespace

FanoutFigures c_room_fanout(std::uint16_t port, std::size_t members, std::uint64_t lines,
                            SendMode mode, ClientKind kind, const Limits& limits) {
    RoomMembers room(port, members, kind, true);
    std::vector<std::unique_ptr<Host>> hosts;
    HostGroup group(
        limits.stall, [&room] { room.log_out_all(); }, limits.hang);
    for (std::size_t i = 0; i < members; ++i) {
        hosts.push_back(std::make_unique<Host>(room, i, group, mode));
        Host& host = *hosts.back();
        group.add([&host, &group, lines, members] {
            const std::uint64_t expected = lines * members;
            while (host.received() < expected && !group.stopping()) {
                host.send_window(lines);
                host.wait_and_take(
                    [](std::size_t, std::uint64_t, Clock::time_point, Clock::time_point) {});
            }
        });
    }
    group.run();
    FanoutFigures figures;
    Clock::time_point end = group.start();
    for (const auto& host : hosts) {
        figures.delivered += host->delivered();
        end = std::max(end, host->last_arrival());
    }
    figures.seconds = std::chrono::duration<double>(end - group.start()).count();
    return figures;
}

std::vector<double> c_one_line_latency(std::uint16_t port, std::size_t lines,
                                       const Limits& limits) {
    RoomMembers room(port, 2, ClientKind::Threaded);
    // Line k is member k % 2's line number k / 2.
    std::vector<Clock::time_point> sentAt(lines), wokenAt(lines), takenAt(lines);
    std::vector<std::unique_ptr<Host>> hosts;
    HostGroup group(
        limits.stall, [&room] { room.log_out_all(); }, limits.hang);
    for (std::size_t self = 0; self < 2; ++self) {
        hosts.push_back(std::make_unique<Host>(room, self, group, SendMode::EachLine));
        Host& host = *hosts.back();
        group.add([&host, &group, &sentAt, &wokenAt, &takenAt, self, lines] {
            const std::size_t other = 1 - self;
            auto arrived = [&wokenAt, &takenAt, self](std::size_t from, std::uint64_t number,
                                                      Clock::time_point woken,
                                                      Clock::time_point taken) {
                if (from != self) {
                    wokenAt[2 * number + from] = woken;
                    takenAt[2 * number + from] = taken;
                }
            };
            for (std::size_t k = 0; k < lines && !group.stopping(); ++k) {
                if (k % 2 == self) {
                    sentAt[k] = Clock::now();
                    host.send(k / 2);
                    continue;
                }
                while (host.next_of(other) <= k / 2 && !group.stopping()) {
                    host.wait_and_take(arrived);
                }
            }
            // The own echoes still on their way.
            while (host.next_of(self) < host.sent() && !group.stopping()) {
                host.wait_and_take(arrived);
            }
        });
    }
    group.run();
    std::vector<double> samples;
    samples.reserve(lines);
    for (std::size_t k = 0; k < lines; ++k) {
        // A wait woken by an earlier echo may have returned before the line
        // was sent; the line then arrived by the time the take returned.
        Clock::time_point arrival = wokenAt[k] >= sentAt[k] ? wokenAt[k] : takenAt[k];
        samples.push_back(std::chrono::duration<double, std::micro>(arrival - sentAt[k]).count());
    }
    std::sort(samples.begin(), samples.end());
    return samples;
}

}  // namespace palaver::bench
