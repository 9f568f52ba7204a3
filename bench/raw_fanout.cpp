#include "raw_fanout.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "PalaverProfile.h"
#include "fanout_lines.h"
#include "protocol/client_messages.h"
#include "protocol/login_reply.h"
#include "protocol/message.h"
#include "protocol/wire.h"

namespace palaver::bench {
namespace {

using asio::ip::tcp;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kLineSize = kTalkFixedSize + kTextSize;
constexpr std::size_t kReadBuffer = 256 * 1024;

// The room of the single-room runs.
constexpr std::uint32_t kOneRoom = 42;

std::vector<RoomSeats> one_room(const std::vector<std::uint16_t>& ports, std::size_t members) {
    RoomSeats seats{kOneRoom, {}};
    for (std::size_t i = 0; i < members; ++i) {
        seats.ports.push_back(ports[i % ports.size()]);
    }
    return {seats};
}

}  // namespace

stUserInfo raw_login(tcp::socket& socket, std::uint16_t port, const std::string& name,
                     std::uint32_t room) {
    socket.connect(tcp::endpoint(asio::ip::address_v4::loopback(), port));
    socket.set_option(tcp::no_delay(true));
    stUserInfo user{};
    profile::set_name(user, name);
    profile::set_room(user, room);
    auto request = encode_login_request(user, "", 0);
    asio::write(socket, asio::buffer(request));
    struct Own : LoginReplyParser::Sink {
        stUserInfo self{};
        void on_record(const stUserInfo& r, bool own) override {
            if (own) {
                self = r;
            }
        }
    } sink;
    LoginReplyParser parser;
    std::vector<std::uint8_t> buffer(kGroupBufferSize);
    while (parser.state() != LoginReplyParser::State::Done) {
        if (parser.state() == LoginReplyParser::State::Refused) {
            throw std::runtime_error("login refused: " + std::to_string(parser.status()));
        }
        std::size_t n = socket.read_some(asio::buffer(buffer.data(), parser.wanted()));
        parser.feed(buffer.data(), n, sink);
    }
    return sink.self;
}

struct RawFanout::Client {
    explicit Client(asio::io_context& io) : socket(io), in(kReadBuffer) {}
    tcp::socket socket;
    std::int32_t id = 0;
    std::size_t room = 0;  // in rooms_
    std::size_t seat = 0;  // its place among the room's members
    LocationKey key{};
    std::vector<std::uint8_t> in;
    std::size_t held = 0;
    std::vector<std::uint8_t> out;
    bool writing = false;
    std::uint64_t sent = 0;
    std::vector<std::uint64_t> next;  // next line number expected from each member
};

RawFanout::RawFanout(const std::vector<std::uint16_t>& ports, std::size_t members,
                     std::uint64_t lines, WindowRule rule, std::chrono::seconds stallLimit)
    : RawFanout(one_room(ports, members), lines, rule, stallLimit) {}

RawFanout::RawFanout(const std::vector<RoomSeats>& rooms, std::uint64_t lines, WindowRule rule,
                     std::chrono::seconds stallLimit)
    : lines_(lines), target_(0), rule_(rule), stallLimit_(stallLimit), watchdog_(io_) {
    for (const RoomSeats& seats : rooms) {
        std::size_t members = seats.ports.size();
        target_ += members * (members - 1) * lines;
        rooms_.emplace_back();
        stUserInfo record{};
        profile::set_room(record, seats.room);
        for (std::size_t seat = 0; seat < members; ++seat) {
            rooms_.back().push_back(clients_.size());
            std::string name = "bench" + std::to_string(clients_.size());
            clients_.push_back(std::make_unique<Client>(io_));
            Client& c = *clients_.back();
            c.id = raw_login(c.socket, seats.ports[seat], name, seats.room).userId;
            c.room = rooms_.size() - 1;
            c.seat = seat;
            c.key = location_key_of(record);
            c.next.assign(members, 0);
            c.out.reserve(kWindow * kLineSize);
        }
    }
    baseId_ = clients_.front()->id;
    for (std::size_t i = 0; i < clients_.size(); ++i) {
        consecutive_ = consecutive_ && clients_[i]->id == baseId_ + static_cast<std::int32_t>(i);
        if (!memberOf_.emplace(clients_[i]->id, i).second) {
            throw std::runtime_error("the server handed out one id twice");
        }
    }
}

// One server hands out ids one after another, so a subtraction finds the
// member; nodes of a cluster each give their own range.
std::size_t RawFanout::member_of(std::int32_t id) const {
    if (consecutive_) {
        std::int64_t at = std::int64_t{id} - baseId_;
        return at >= 0 && at < static_cast<std::int64_t>(clients_.size())
                   ? static_cast<std::size_t>(at)
                   : clients_.size();
    }
    auto found = memberOf_.find(id);
    return found != memberOf_.end() ? found->second : clients_.size();
}

RawFanout::~RawFanout() = default;

double RawFanout::run() {
    for (auto& c : clients_) {
        read(*c);
    }
    start_ = Clock::now();
    pump();
    watch();
    io_.run();
    if (!error_.empty()) {
        throw std::runtime_error(error_);
    }
    return static_cast<double>(delivered_) / seconds();
}

double RawFanout::seconds() const {
    return std::chrono::duration<double>(end_ - start_).count();
}

void RawFanout::fail(const std::string& what) {
    if (error_.empty()) {
        error_ = what;
    }
    io_.stop();
}

void RawFanout::watch() {
    watchdog_.expires_after(stallLimit_);
    watchdog_.async_wait([this, seen = delivered_ + echoes_](const asio::error_code& ec) {
        if (ec) {
            return;
        }
        if (delivered_ + echoes_ == seen) {
            fail("no progress for " + std::to_string(stallLimit_.count()) + " s");
            return;
        }
        watch();
    });
}

// How many of the sender's lines count as read. The sender's own echo counts
// under either rule: otherwise a sender that reads slowly could run ahead of
// its own stream without bound.
std::uint64_t RawFanout::window_base(std::size_t sender) const {
    const Client& s = *clients_[sender];
    if (rule_ == WindowRule::OwnEcho) {
        return s.next[s.seat];
    }
    std::uint64_t least = UINT64_MAX;
    for (std::size_t reader : rooms_[s.room]) {
        least = std::min(least, clients_[reader]->next[s.seat]);
    }
    return least;
}

void RawFanout::pump() {
    for (std::size_t s = 0; s < clients_.size(); ++s) {
        Client& c = *clients_[s];
        if (c.writing || c.sent == lines_) {
            continue;
        }
        std::uint64_t ahead = c.sent - window_base(s);
        std::uint64_t n = std::min<std::uint64_t>(kWindow - ahead, lines_ - c.sent);
        if (n == 0) {
            continue;
        }
        c.out.resize(n * kLineSize);
        char text[kTextSize + 1];
        for (std::uint64_t i = 0; i < n; ++i) {
            format_line(c.sent + i, text);
            encode_talk(c.out.data() + i * kLineSize, c.id, 0, c.key, false, text, kTextSize);
        }
        c.sent += n;
        c.writing = true;
        asio::async_write(c.socket, asio::buffer(c.out),
                          [this, &c](const asio::error_code& ec, std::size_t) {
                              c.writing = false;
                              if (ec) {
                                  fail("write: " + ec.message());
                                  return;
                              }
                              pump();
                          });
    }
}

void RawFanout::read(Client& c) {
    c.socket.async_read_some(asio::buffer(c.in.data() + c.held, c.in.size() - c.held),
                             [this, &c](const asio::error_code& ec, std::size_t n) {
                                 if (ec) {
                                     fail("read: " + ec.message());
                                     return;
                                 }
                                 c.held += n;
                                 if (!take(c)) {
                                     return;
                                 }
                                 if (delivered_ == target_ && echoes_ == lines_ * clients_.size()) {
                                     end_ = Clock::now();
                                     io_.stop();
                                     return;
                                 }
                                 pump();
                                 read(c);
                             });
}

// Walks the whole frames held; false after a failure.
bool RawFanout::take(Client& c) {
    std::size_t at = 0;
    const std::size_t receiver = member_of(c.id);
    while (c.held - at >= 2) {
        std::size_t length = wire::load_u16(c.in.data() + at);
        if (length == 0 || length > kMaxLength) {
            fail("a frame of length " + std::to_string(length));
            return false;
        }
        if (c.held - at < 2 + length) {
            break;
        }
        Frame f{c.in[at + 2], c.in.data() + at + 3, length - 1};
        at += 2 + length;
        if (f.type != static_cast<std::uint8_t>(ClientType::Talk)) {
            continue;  // arrivals of the members that logged in later
        }
        auto t = decode_talk(f);
        auto sender = t ? member_of(t->sender) : clients_.size();
        std::uint64_t number = t ? line_number(t->text, t->textLength) : kNotALine;
        if (sender >= clients_.size() || number == kNotALine) {
            fail("a line that was never sent");
            return false;
        }
        if (clients_[sender]->room != c.room) {
            fail("a line of client " + std::to_string(sender) + " reached another room");
            return false;
        }
        std::uint64_t& due = c.next[clients_[sender]->seat];
        if (number != due) {
            fail("line " + std::to_string(number) + " of client " + std::to_string(sender) +
                 " arrived where " + std::to_string(due) + " was due");
            return false;
        }
        ++due;
        if (sender == receiver) {
            ++echoes_;
        } else {
            ++delivered_;
        }
    }
    std::memmove(c.in.data(), c.in.data() + at, c.held - at);
    c.held -= at;
    return true;
}

}  // namespace palaver::bench
