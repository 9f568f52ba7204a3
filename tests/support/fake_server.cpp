#include "fake_server.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>

#include "socket_compat.h"

namespace palaver::test {
namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void fail(const char* what) {
    throw std::runtime_error(std::string("fake server: ") + what + ": " + std::strerror(errno));
}

// Waits until `fd` is readable or the deadline passes.
bool wait_readable(int fd, Clock::time_point deadline) {
    for (;;) {
        auto left = std::chrono::duration_cast<Ms>(deadline - Clock::now()).count();
        if (left < 0) {
            return false;
        }
        int rc = net::poll_in(fd, static_cast<int>(left));
        if (rc > 0) {
            return true;
        }
        if (rc < 0 && errno != EINTR) {
            fail("poll");
        }
    }
}

}  // namespace

FakeServer::FakeServer() {
    net::startup();
    listen_ = net::open_stream();
    if (listen_ < 0) {
        fail("socket");
    }
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    net::SockLen size = sizeof at;
    if (::bind(listen_, reinterpret_cast<sockaddr*>(&at), size) != 0 ||
        ::listen(listen_, 16) != 0 ||
        ::getsockname(listen_, reinterpret_cast<sockaddr*>(&at), &size) != 0) {
        fail("listen");
    }
    port_ = ntohs(at.sin_port);
}

FakeServer::~FakeServer() {
    join();
    close();
    net::close_socket(listen_);
    net::cleanup();
}

void FakeServer::set_receive_buffer(int bytes) {
    if (net::set_option(listen_, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes) != 0) {
        fail("SO_RCVBUF");
    }
}

bool FakeServer::accept(Ms timeout) {
    close();
    if (!wait_readable(listen_, Clock::now() + timeout)) {
        return false;
    }
    conn_ = net::accept_one(listen_);
    return conn_ >= 0;
}

std::optional<Bytes> FakeServer::read(std::size_t count, Ms timeout) {
    Bytes got(count);
    std::size_t have = 0;
    auto deadline = Clock::now() + timeout;
    while (have < count) {
        if (conn_ < 0 || !wait_readable(conn_, deadline)) {
            return std::nullopt;
        }
        long n = net::receive(conn_, got.data() + have, count - have);
        if (n <= 0) {
            return std::nullopt;
        }
        have += static_cast<std::size_t>(n);
    }
    return got;
}

::testing::AssertionResult FakeServer::expect(const Bytes& expected, Ms timeout) {
    auto got = read(expected.size(), timeout);
    if (!got) {
        return ::testing::AssertionFailure()
               << "fewer than the " << expected.size() << " expected bytes arrived:\n"
               << hex(expected);
    }
    if (*got != expected) {
        return ::testing::AssertionFailure() << "expected:\n"
                                             << hex(expected) << "\nreceived:\n"
                                             << hex(*got);
    }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult FakeServer::expect_closed(Ms timeout) {
    if (conn_ < 0) {
        return ::testing::AssertionFailure() << "no connection";
    }
    if (!wait_readable(conn_, Clock::now() + timeout)) {
        return ::testing::AssertionFailure() << "the client kept the connection open";
    }
    std::uint8_t byte;
    long n = net::receive(conn_, &byte, 1);
    if (n > 0) {
        return ::testing::AssertionFailure()
               << "the client sent more bytes, starting with " << hex({byte});
    }
    return ::testing::AssertionSuccess();
}

void FakeServer::send_all(const std::uint8_t* bytes, std::size_t count) {
    while (count > 0) {
        long n = net::send_some(conn_, bytes, count);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            fail("send");
        }
        bytes += n;
        count -= static_cast<std::size_t>(n);
    }
}

void FakeServer::send(const Bytes& bytes) {
    send_all(bytes.data(), bytes.size());
}

void FakeServer::send_split(const Bytes& bytes, const std::vector<std::size_t>& cuts, Ms gap) {
    int on = 1;
    net::set_option(conn_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    std::size_t from = 0;
    for (std::size_t cut : cuts) {
        if (cut < from || cut > bytes.size()) {
            throw std::invalid_argument("cuts out of order");
        }
        send_all(bytes.data() + from, cut - from);
        from = cut;
        std::this_thread::sleep_for(gap);
    }
    send_all(bytes.data() + from, bytes.size() - from);
}

void FakeServer::drip(const Bytes& bytes, Ms gap) {
    std::vector<std::size_t> cuts;
    for (std::size_t i = 1; i < bytes.size(); ++i) {
        cuts.push_back(i);
    }
    send_split(bytes, cuts, gap);
}

void FakeServer::stall(Ms duration) {
    std::this_thread::sleep_for(duration);
}

void FakeServer::close() {
    if (conn_ >= 0) {
        net::close_socket(conn_);
        conn_ = -1;
    }
}

void FakeServer::reset() {
    if (conn_ >= 0) {
        linger off{1, 0};
        net::set_option(conn_, SOL_SOCKET, SO_LINGER, &off, sizeof off);
        close();
    }
}

void FakeServer::serve(Script script, std::size_t clients) {
    thread_ = std::thread([this, script = std::move(script), clients] {
        for (std::size_t i = 0; i < clients; ++i) {
            int fd = net::accept_one(listen_);
            if (fd < 0) {
                return;
            }
            int on = 1;
            net::set_option(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            {
                Peer peer(fd);
                script(peer);
            }
            ++finished_;
        }
    });
}

void FakeServer::join() {
    if (thread_.joinable()) {
        // Wakes an accept that waits for a client that never comes.
        ::shutdown(listen_, 2);
        thread_.join();
    }
}

Peer::~Peer() {
    close();
}

// Moves all `count` bytes with `step` (a send or a receive of some of them);
// false once the connection ends first.
template <class Byte, class Step>
bool whole(Byte* bytes, std::size_t count, Step step) {
    while (count > 0) {
        long n = step(bytes, count);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        bytes += n;
        count -= static_cast<std::size_t>(n);
    }
    return true;
}

bool Peer::send(const std::uint8_t* bytes, std::size_t count) {
    return whole(bytes, count, [&](const std::uint8_t* at, std::size_t left) {
        return net::send_some(fd_, at, left);
    });
}

bool Peer::receive(std::uint8_t* bytes, std::size_t count) {
    return whole(bytes, count,
                 [&](std::uint8_t* at, std::size_t left) { return net::receive(fd_, at, left); });
}

void Peer::drain_until_closed(int ms) {
    std::uint8_t sink[4096];
    while (net::poll_in(fd_, ms) > 0) {
        if (net::receive(fd_, sink, sizeof sink) <= 0) {
            return;
        }
    }
}

void Peer::reset() {
    if (fd_ >= 0) {
        linger off{1, 0};
        net::set_option(fd_, SOL_SOCKET, SO_LINGER, &off, sizeof off);
        close();
    }
}

void Peer::close() {
    if (fd_ >= 0) {
        net::close_socket(fd_);
        fd_ = -1;
    }
}

}  // namespace palaver::test
