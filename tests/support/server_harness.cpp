#include "server_harness.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "PalaverProfile.h"
#include "protocol/login_reply.h"
#include "protocol/server_messages.h"
#include "protocol/wire.h"

namespace palaver::test {

server::Settings test_settings() {
    server::Settings s;
    s.port = 0;
    s.loginTimeout = 2000ms;
    s.idleTimeout = 60000ms;  // past any test's length; tests of the idle timer set their own
    // Floods that test fan-out and slow readers go as fast as they can;
    // tests of the request rate set their own.
    s.requestRate = 0;
    // Tests open many loopback connections at once; tests of these limits set their own.
    s.maxPerAddress = 0;
    s.connectRate = 0;
    return s;
}

TestServer::TestServer(server::Settings settings)
    : log_(server::Level::Debug, logText_),
      server_(std::make_unique<server::Server>(std::move(settings), log_)),
      port_(server_->port()),
      tlsPort_(server_->tls_port()),
      metricsPort_(server_->metrics_endpoint().port()),
      thread_([this] { server_->run(); }) {}

TestServer::~TestServer() {
    if (thread_.joinable()) {
        server_->stop();
        thread_.join();
    }
}

std::string TestServer::stop_and_log() {
    if (thread_.joinable()) {
        server_->stop();
        thread_.join();
    }
    return logText_.str();
}

stUserInfo make_user(const std::string& name, std::uint32_t room) {
    stUserInfo u{};
    u.userId = 12345;  // the server must not trust it
    std::memcpy(u.name, name.data(), std::min(name.size(), sizeof u.name));
    profile::set_room(u, room);
    return u;
}

RawClient::RawClient(std::uint16_t port, std::uint32_t from, int receiveBuffer) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd_ >= 0 && receiveBuffer > 0) {
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd_ >= 0 && from != INADDR_LOOPBACK) {
        // The port is still chosen by connect(), as for an unbound socket.
        int one = 1;
        ::setsockopt(fd_, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one);
        sockaddr_in source{};
        source.sin_family = AF_INET;
        source.sin_addr.s_addr = htonl(from);
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&source), sizeof source) != 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    if (fd_ < 0 || ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        throw std::runtime_error("cannot connect to the test server");
    }
    int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

RawClient::~RawClient() {
    drop();
}

void RawClient::drop() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

void RawClient::reset() {
    if (fd_ >= 0) {
        linger off{1, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &off, sizeof off);
        drop();
    }
}

bool RawClient::send(const std::uint8_t* bytes, std::size_t size) {
    while (size > 0) {
        ssize_t n = ::send(fd_, bytes, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;  // the server closed: the test looks at what it received
        }
        bytes += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool RawClient::drain() {
    std::uint8_t sink[65536];
    for (;;) {
        ssize_t n = ::recv(fd_, sink, sizeof sink, MSG_DONTWAIT);
        if (n > 0) {
            continue;
        }
        return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
}

bool RawClient::wait_readable(Ms timeout) {
    pollfd p{fd_, POLLIN, 0};
    return ::poll(&p, 1, static_cast<int>(timeout.count())) == 1;
}

int RawClient::login(const stUserInfo& user, const std::string& loginString,
                     const std::vector<std::uint8_t>& behind) {
    send(encode_login_request(user, loginString.data(), loginString.size()));
    if (!behind.empty()) {
        send(behind);
    }
    struct Sink : LoginReplyParser::Sink {
        RawClient* c;
        void on_record(const stUserInfo& r, bool own) override {
            if (own) {
                c->self = r;
            } else {
                c->others.push_back(r);
            }
        }
    } sink;
    sink.c = this;
    LoginReplyParser parser;
    std::uint8_t buffer[kGroupBufferSize];
    replyBytes.clear();
    others.clear();
    while (parser.state() != LoginReplyParser::State::Refused &&
           parser.state() != LoginReplyParser::State::Done) {
        if (!wait_readable(kDeadline)) {
            throw std::runtime_error("no login reply");
        }
        ssize_t n = ::recv(fd_, buffer, parser.wanted(), 0);
        if (n <= 0) {
            throw std::runtime_error("login reply broke off");
        }
        replyBytes.insert(replyBytes.end(), buffer, buffer + n);
        parser.feed(buffer, static_cast<std::size_t>(n), sink);
    }
    return parser.state() == LoginReplyParser::State::Done ? 1 : parser.status();
}

std::optional<std::int32_t> RawClient::raw_status(Ms timeout) {
    std::uint8_t status[4];
    std::size_t have = 0;
    while (have < sizeof status) {
        if (!wait_readable(timeout)) {
            return std::nullopt;
        }
        ssize_t n = ::recv(fd_, status + have, sizeof status - have, 0);
        if (n <= 0) {
            return std::nullopt;
        }
        have += static_cast<std::size_t>(n);
    }
    return wire::load_i32(status);
}

void RawClient::talk(std::int32_t target, const std::string& text, bool whisper) {
    std::uint8_t m[kMaxTalkSize];
    send(m, encode_talk(m, id(), target, key(), whisper, text.data(), text.size()));
}

void RawClient::talk_as(std::int32_t sender, const LocationKey& key, std::int32_t target,
                        const std::string& text) {
    std::uint8_t m[kMaxTalkSize];
    send(m, encode_talk(m, sender, target, key, false, text.data(), text.size()));
}

std::optional<Received> RawClient::next(Ms timeout) {
    auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        Frame f;
        auto status = reader_.next(f);
        if (status == FrameReader::Status::Frame) {
            return Received{f.type, std::vector<std::uint8_t>(f.payload, f.payload + f.size)};
        }
        if (status == FrameReader::Status::Broken) {
            brokenStream = true;
            return std::nullopt;
        }
        auto left = std::chrono::duration_cast<Ms>(end - std::chrono::steady_clock::now());
        if (fd_ < 0 || left.count() <= 0 || !wait_readable(left)) {
            return std::nullopt;
        }
        ssize_t n = ::recv(fd_, reader_.write_position(), reader_.write_room(), 0);
        if (n <= 0) {
            return std::nullopt;
        }
        reader_.commit(static_cast<std::size_t>(n));
    }
}

std::optional<Received> flood_until_a_departure(RawClient& talker) {
    constexpr int kBatch = 64;
    std::string line(300, 'z');
    std::uint8_t m[kMaxTalkSize];
    std::size_t size =
        encode_talk(m, talker.id(), 0, talker.key(), false, line.data(), line.size());
    std::vector<std::uint8_t> batch;
    for (int i = 0; i < kBatch; ++i) {
        batch.insert(batch.end(), m, m + size);
    }
    // Enough to fill every kernel buffer on the way many times over.
    for (int sent = 0; sent < 200000; sent += kBatch) {
        talker.send(batch);
        for (int echoes = 0; echoes < kBatch;) {
            auto r = talker.next(10s);
            if (!r) {
                ADD_FAILURE() << "the talker lost its connection after " << sent << " lines";
                return std::nullopt;
            }
            if (r->type == kTalk) {
                ++echoes;
            } else if (r->type == kLeft) {
                return r;
            }
        }
    }
    return std::nullopt;
}

std::optional<Received> RawClient::next_of(std::uint8_t type, Ms timeout) {
    return next_message_of(*this, type, timeout);
}

bool RawClient::closed_within(Ms timeout) {
    auto end = std::chrono::steady_clock::now() + timeout;
    std::uint8_t sink[65536];
    for (;;) {
        auto left = std::chrono::duration_cast<Ms>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !wait_readable(left)) {
            return false;
        }
        ssize_t n = ::recv(fd_, sink, sizeof sink, 0);
        if (n <= 0) {
            return true;
        }
    }
}

bool RawClient::quiet_for(Ms timeout) {
    return !next(timeout).has_value();
}

std::vector<std::int32_t> ids_of(const Received& usersLeft) {
    IdList list(usersLeft.frame());
    std::vector<std::int32_t> ids;
    for (std::size_t i = 0; i < list.size(); ++i) {
        ids.push_back(list[i]);
    }
    return ids;
}

std::vector<stUserInfo> records_of(const Received& m) {
    RecordList list(m.frame());
    std::vector<stUserInfo> records;
    for (std::size_t i = 0; i < list.size(); ++i) {
        records.push_back(list[i]);
    }
    return records;
}

}  // namespace palaver::test
