#include "line_mode.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <deque>
#include <string>
#include <thread>

#include "poll_clock.h"

namespace palaver::chat {
namespace {

// Standard input split into lines without ever blocking the poll rhythm.
class LineReader {
  public:
    // Waits at most `timeout_ms` for input; false once input has ended.
    bool read(int timeout_ms) {
        if (eof_) {
            return false;
        }
        pollfd pfd{STDIN_FILENO, POLLIN, 0};
        const int ready = ::poll(&pfd, 1, timeout_ms);
        if (ready <= 0) {
            return true;
        }
        char buf[4096];
        const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            return true;
        }
        if (n <= 0) {
            eof_ = true;
            if (!partial_.empty()) {
                lines_.push_back(std::move(partial_));
            }
            return false;
        }
        partial_.append(buf, static_cast<std::size_t>(n));
        std::size_t nl;
        while ((nl = partial_.find('\n')) != std::string::npos) {
            lines_.push_back(partial_.substr(0, nl));
            partial_.erase(0, nl + 1);
        }
        return true;
    }

    std::deque<std::string>& lines() { return lines_; }
    bool ended() const { return eof_; }

  private:
    std::string partial_;
    std::deque<std::string> lines_;
    bool eof_ = false;
};

}  // namespace

void print_events(const Events& events) {
    for (const Event& e : events) {
        std::printf("[%s] %s\n", kind_tag(e.kind), e.text.c_str());
    }
    std::fflush(stdout);
}

int run_line_mode(Session& session) {
    using Clock = PollClock::Clock;
    Events events;
    const bool logged_in = session.login(events);
    print_events(events);
    if (!logged_in) {
        return 2;
    }

    LineReader input;
    PollClock clock;
    Clock::time_point asleep_until{};
    for (;;) {
        events.clear();
        Clock::time_point now = Clock::now();
        // While a /sleep runs, input waits in the reader and only polls go on.
        while (now >= asleep_until && !input.lines().empty()) {
            const Command command = parse_command(input.lines().front());
            input.lines().pop_front();
            if (command.kind == Command::Kind::kQuit) {
                session.poll(events, now);
                session.logout(events);
                print_events(events);
                return 0;
            }
            if (command.kind == Command::Kind::kSleep) {
                asleep_until = now + std::chrono::milliseconds(command.number);
            }
            session.execute(command, events, now);
        }
        if (clock.due(now)) {
            session.poll(events, now);
        }
        print_events(events);
        if (!session.connected()) {
            return 3;
        }
        if (input.ended() && input.lines().empty() && now >= asleep_until) {
            events.clear();
            session.poll(events, now);
            session.logout(events);
            print_events(events);
            return 0;
        }
        input.read(clock.wait_ms(Clock::now()));
        if (input.ended()) {
            // Nothing more to wait for on standard input; keep the rhythm.
            std::this_thread::sleep_for(std::chrono::milliseconds(clock.wait_ms(Clock::now())));
        }
    }
}

}  // namespace palaver::chat
