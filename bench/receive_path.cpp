// Receive-path throughput: how many chat lines per second the library's
// receive thread stores while a host drains them every millisecond, against a
// plain reader of a socket with the same options that only walks the frames.
//
// A loopback blaster logs the client in, then writes N Talks with 40-byte
// texts as fast as the socket takes them.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>
#include <vector>

#include "Palaver.h"
#include "protocol/client_messages.h"
#include "protocol/login_reply.h"
#include "protocol/wire.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t kTextSize = 40;

int listen_loopback(std::uint16_t& port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(fd, 1) != 0) {
        throw std::runtime_error("listen");
    }
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    return fd;
}

void write_all(int fd, const std::uint8_t* p, std::size_t n) {
    while (n > 0) {
        ssize_t w = ::send(fd, p, n, MSG_NOSIGNAL);
        if (w <= 0) {
            throw std::runtime_error("send");
        }
        p += w;
        n -= static_cast<std::size_t>(w);
    }
}

void read_exact(int fd, std::uint8_t* p, std::size_t n) {
    while (n > 0) {
        ssize_t r = ::recv(fd, p, n, 0);
        if (r <= 0) {
            throw std::runtime_error("recv");
        }
        p += r;
        n -= static_cast<std::size_t>(r);
    }
}

// One block of Talks, written again and again.
std::vector<std::uint8_t> talk_block(std::size_t lines) {
    std::vector<std::uint8_t> block(lines * (palaver::kTalkFixedSize + kTextSize));
    char text[kTextSize];
    std::memset(text, 'x', sizeof text);
    palaver::LocationKey key{1, 0, 0, 0};
    std::size_t at = 0;
    for (std::size_t i = 0; i < lines; ++i) {
        at += palaver::encode_talk(block.data() + at, 7, 1, key, false, text, sizeof text);
    }
    return block;
}

// Accepts one client, answers its login when `login` is set, then blasts.
void blast(int listener, bool login, std::size_t lines) {
    int fd = ::accept(listener, nullptr, nullptr);
    if (login) {
        std::uint8_t request[palaver::kLoginRequestSize];
        read_exact(fd, request, sizeof request);
        stUserInfo self{};
        self.userId = 1;
        std::strcpy(self.name, "bench");
        auto reply = palaver::encode_login_reply(1, {{self}});
        write_all(fd, reply.data(), reply.size());
    }
    const std::size_t perBlock = 1024;
    auto block = talk_block(perBlock);
    std::size_t sent = 0;
    while (sent < lines) {
        std::size_t n = std::min(perBlock, lines - sent);
        write_all(fd, block.data(), n * (palaver::kTalkFixedSize + kTextSize));
        sent += n;
    }
    ::shutdown(fd, SHUT_WR);
    char sink[64];
    while (::recv(fd, sink, sizeof sink, 0) > 0) {
    }
    ::close(fd);
}

double run_library(std::size_t lines) {
    std::uint16_t port;
    int listener = listen_loopback(port);
    std::thread server(blast, listener, true, lines);
    chatComunicate::SetServerIPandPort("127.0.0.1", port);
    stUserInfo me{};
    std::strcpy(me.name, "bench");
    if (chatComunicate::Login(me, "pw") != 1) {
        throw std::runtime_error("login");
    }
    auto start = Clock::now();
    std::size_t received = 0;
    std::vector<stChatContent> lines_;
    while (received < lines) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        chatComunicate::GetTalk(lines_);
        received += lines_.size();
        lines_.clear();
    }
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    chatComunicate::Logout();
    server.join();
    ::close(listener);
    return static_cast<double>(lines) / seconds;
}

double run_plain(std::size_t lines) {
    std::uint16_t port;
    int listener = listen_loopback(port);
    std::thread server(blast, listener, false, lines);
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        throw std::runtime_error("connect");
    }
    auto start = Clock::now();
    std::uint8_t buffer[4096];
    std::size_t held = 0, frames = 0;
    while (frames < lines) {
        ssize_t r = ::recv(fd, buffer + held, sizeof buffer - held, 0);
        if (r <= 0) {
            break;
        }
        held += static_cast<std::size_t>(r);
        std::size_t at = 0;
        while (held - at >= 2) {
            std::size_t total = 2 + palaver::wire::load_u16(buffer + at);
            if (held - at < total) {
                break;
            }
            at += total;
            ++frames;
        }
        std::memmove(buffer, buffer + at, held - at);
        held -= at;
    }
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    ::close(fd);
    server.join();
    ::close(listener);
    return static_cast<double>(frames) / seconds;
}

}  // namespace

int main(int argc, char** argv) {
    std::size_t lines = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 2000000;
    int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    double best_plain = 0, best_library = 0;
    for (int i = 0; i < rounds; ++i) {
        best_plain = std::max(best_plain, run_plain(lines));
        best_library = std::max(best_library, run_library(lines));
    }
    std::printf("lines per run: %zu, best of %d\n", lines, rounds);
    std::printf("plain reader: %.0f lines/s\n", best_plain);
    std::printf("library:      %.0f lines/s\n", best_library);
    std::printf("ratio:        %.2fx\n", best_library / best_plain);
    return 0;
}
