#include "split_latency.h"

#include <algorithm>
#include <stdexcept>

#include "c_clients.h"
#include "fanout_lines.h"
#include "raw_latency.h"

namespace palaver::bench {
namespace {

using Clock = std::chrono::steady_clock;

double microseconds(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

// The library client's side: waits for line `number` of `sender`, checking
// every line that comes on the way against `next`, and returns when
// palaver_wait returned with it.
class LibraryMember {
  public:
    LibraryMember(std::uint16_t port, std::int32_t rawId, std::chrono::seconds stallLimit)
        : in_(log_in(port, "lib", 42)), rawId_(rawId), stallLimit_(stallLimit) {}

    std::int32_t id() const { return in_.id; }
    palaver_client* client() const { return in_.client.get(); }

    Clock::time_point await(std::int32_t sender, std::uint64_t number) {
        std::uint64_t& due = sender == rawId_ ? nextRaw_ : nextOwn_;
        for (;;) {
            int events = palaver_wait(client(), static_cast<int>(stallLimit_.count() * 1000));
            Clock::time_point woken = Clock::now();
            if (events <= 0 || (events & PALAVER_EVENT_DISCONNECTED) != 0) {
                throw std::runtime_error("the library client saw no line in time");
            }
            if ((events & PALAVER_EVENT_USERS) != 0) {
                std::size_t written = 0;
                palaver_get_users(client(), users_, 4, &written);
            }
            std::size_t written = 0;
            palaver_get_talk(client(), lines_, kLines, &written);
            for (std::size_t i = 0; i < written; ++i) {
                take(lines_[i]);
            }
            if (due > number) {
                return woken;
            }
        }
    }

  private:
    static constexpr std::size_t kLines = 16;

    void take(const palaver_chat_line& line) {
        if (line.sender < 0) {
            return;  // a notice
        }
        std::uint64_t& due = line.sender == rawId_ ? nextRaw_ : nextOwn_;
        std::int32_t expected = line.sender == rawId_ ? rawId_ : in_.id;
        expect_line({line.sender, line_number(line.text, line.length)}, expected, due);
        ++due;
    }

    LoggedIn in_;
    std::int32_t rawId_;
    std::chrono::seconds stallLimit_;
    std::uint64_t nextRaw_ = 0;
    std::uint64_t nextOwn_ = 0;
    palaver_chat_line lines_[kLines];
    stUserInfo users_[4];
};

}  // namespace

SplitLatency split_one_line_latency(std::uint16_t port, std::size_t lines,
                                    std::chrono::seconds stallLimit) {
    asio::io_context io;
    RawMember raw(io, port, "raw");
    LibraryMember library(port, raw.id(), stallLimit);
    SplitLatency split;
    char text[kTextSize + 1];
    for (std::size_t k = 0; k < lines; ++k) {
        auto start = Clock::now();
        raw.send_line(k);
        split.rawToLibrary.push_back(microseconds(library.await(raw.id(), k) - start));
        expect_line(raw.next_line(stallLimit), raw.id(), k);  // the raw client's echo

        format_line(k, text);
        start = Clock::now();
        if (palaver_send_talk(library.client(), 0, text, 0) != 1) {
            throw std::runtime_error(last_error_text("palaver_send_talk"));
        }
        expect_line(raw.next_line(stallLimit), library.id(), k);
        split.libraryToRaw.push_back(microseconds(Clock::now() - start));
        library.await(library.id(), k);  // the library client's echo
    }
    std::sort(split.rawToLibrary.begin(), split.rawToLibrary.end());
    std::sort(split.libraryToRaw.begin(), split.libraryToRaw.end());
    return split;
}

}  // namespace palaver::bench
