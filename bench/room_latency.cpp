#include "room_latency.h"

#include <memory>
#include <stdexcept>

#include "driven_loop.h"
#include "driven_wait.h"
#include "fanout_lines.h"
#include "host_group.h"
#include "raw_room_latency.h"
#include "room_members.h"
#include "turn_book.h"

namespace palaver::bench {
namespace {

using Clock = TurnBook::Clock;

constexpr int kWaitMs = 100;  // hosts look at the stop flag at least this often

// One member's part, whatever loop drives it: takes what its client holds,
// hands every line to the book, and sends the next line when its turn comes.
class LatencyHost {
  public:
    LatencyHost(const RoomMembers& room, std::size_t self, TurnBook& book, HostGroup& group)
        : room_(room),
          self_(self),
          client_(room.client(self)),
          book_(book),
          group_(group),
          lines_(16),
          users_(room.size()) {}

    palaver_client* client() const { return client_; }
    bool done() const { return book_.done(self_); }
    // The first member sends line 0.
    void open() {
        if (self_ == 0) {
            send(0);
        }
    }
    // Acts on what a wait or palaver_process reported.
    void handle(int events) {
        if (events < 0) {
            throw std::runtime_error(last_error_text("the wait"));
        }
        if ((events & PALAVER_EVENT_DISCONNECTED) != 0) {
            throw std::runtime_error("a connection ended");
        }
        if ((events & PALAVER_EVENT_USERS) != 0) {
            std::size_t written = 0;
            palaver_get_users(client_, users_.data(), users_.size(), &written);
        }
        if ((events & PALAVER_EVENT_TALK) != 0) {
            take_talk();
        }
    }

  private:
    void take_talk() {
        std::uint64_t count = 0;
        int more;
        do {
            std::size_t written = 0;
            more = palaver_get_talk(client_, lines_.data(), lines_.size(), &written);
            if (more < 0) {
                throw std::runtime_error(last_error_text("palaver_get_talk"));
            }
            Clock::time_point taken = Clock::now();
            for (std::size_t i = 0; i < written; ++i) {
                const palaver_chat_line& line = lines_[i];
                if (line.sender < 0) {
                    continue;  // a notice: a member that logged in later
                }
                std::size_t from = room_.index_of(line.sender);
                std::uint64_t number = line_number(line.text, line.length);
                if (from == room_.size() || number == kNotALine) {
                    throw std::runtime_error("a line that was never sent");
                }
                if (book_.took(self_, from, number, taken)) {
                    send(book_.seen(self_));
                }
                ++count;
            }
        } while (more > 0);
        group_.progress(count);
    }

    void send(std::size_t k) {
        char text[kTextSize + 1];
        format_line(book_.number_of(k, self_), text);
        book_.sending(k);
        if (palaver_send_talk(client_, 0, text, 0) != 1) {
            throw std::runtime_error(last_error_text("palaver_send_talk"));
        }
    }

    const RoomMembers& room_;
    std::size_t self_;
    palaver_client* client_;
    TurnBook& book_;
    HostGroup& group_;
    std::vector<palaver_chat_line> lines_;
    std::vector<stUserInfo> users_;
};

using Hosts = std::vector<std::unique_ptr<LatencyHost>>;

// A thread per member, each waiting on its own client.
template <typename Wait>
void thread_each(Hosts& hosts, HostGroup& group, Wait wait) {
    for (auto& h : hosts) {
        LatencyHost& host = *h;
        group.add([&host, &group, wait] {
            host.open();
            while (!host.done() && !group.stopping()) {
                host.handle(wait(host.client()));
            }
        });
    }
}

// One thread drives every member through one loop.
void one_thread(Hosts& hosts, HostGroup& group, LoopKind kind) {
    group.add([&hosts, &group, kind] {
        std::unique_ptr<DrivenLoop> loop = DrivenLoop::make(kind);
        for (std::size_t i = 0; i < hosts.size(); ++i) {
            loop->add(hosts[i]->client(), i);
        }
        hosts.front()->open();
        std::size_t done = 0;
        DrivenLoop::Take take = [&hosts, &done](std::size_t i, int events) {
            bool before = hosts[i]->done();
            hosts[i]->handle(events);
            done += !before && hosts[i]->done() ? 1 : 0;
        };
        while (done < hosts.size() && !group.stopping()) {
            loop->turn(kWaitMs, take);
        }
    });
}

}  // namespace

const char* kind_name(LatencyKind kind) {
    switch (kind) {
        case LatencyKind::Raw:
            return "raw";
        case LatencyKind::Threaded:
            return "threaded";
        case LatencyKind::DrivenThreads:
            return "driven-threads";
        case LatencyKind::DrivenPoller:
            return "driven-poller";
        case LatencyKind::DrivenEpoll:
            return "driven-epoll";
    }
    return "?";
}

LatencyKind kind_named(const std::string& name) {
    for (LatencyKind k : {LatencyKind::Raw, LatencyKind::Threaded, LatencyKind::DrivenThreads,
                          LatencyKind::DrivenPoller, LatencyKind::DrivenEpoll}) {
        if (name == kind_name(k)) {
            return k;
        }
    }
    throw std::invalid_argument("no latency kind '" + name + "'");
}

LatencyFigures room_latency(LatencyKind kind, std::uint16_t port, std::size_t members,
                            std::size_t lines, const Limits& limits) {
    TurnBook book(members, lines);
    if (kind == LatencyKind::Raw) {
        raw_room_latency(port, book, limits.stall);
        return {book.delivery_samples(), book.whole_room_samples()};
    }
    RoomMembers room(port, members,
                     kind == LatencyKind::Threaded ? ClientKind::Threaded : ClientKind::HostDriven);
    HostGroup group(
        limits.stall, [&room] { room.log_out_all(); }, limits.hang);
    Hosts hosts;
    for (std::size_t i = 0; i < members; ++i) {
        hosts.push_back(std::make_unique<LatencyHost>(room, i, book, group));
    }
    switch (kind) {
        case LatencyKind::Threaded:
            thread_each(hosts, group, [](palaver_client* c) { return palaver_wait(c, kWaitMs); });
            break;
        case LatencyKind::DrivenThreads:
            thread_each(hosts, group, [](palaver_client* c) { return drive_once(c, kWaitMs); });
            break;
        case LatencyKind::DrivenPoller:
            one_thread(hosts, group, LoopKind::Poller);
            break;
        case LatencyKind::DrivenEpoll:
            one_thread(hosts, group, LoopKind::Epoll);
            break;
        case LatencyKind::Raw:
            break;
    }
    group.run();
    return {book.delivery_samples(), book.whole_room_samples()};
}

}  // namespace palaver::bench
