#include "tests/faults/fake_server.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "protocol/client_messages.h"

namespace palaver::faults {

Peer::~Peer() {
    close();
}

bool Peer::send(const std::uint8_t* bytes, std::size_t count) {
    while (count > 0) {
        ssize_t n = ::send(fd_, bytes, count, MSG_NOSIGNAL);
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

bool Peer::receive(std::uint8_t* bytes, std::size_t count) {
    while (count > 0) {
        ssize_t n = ::recv(fd_, bytes, count, 0);
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

void Peer::drain_until_closed(int ms) {
    std::uint8_t sink[4096];
    pollfd p{fd_, POLLIN, 0};
    while (::poll(&p, 1, ms) > 0) {
        if (::recv(fd_, sink, sizeof sink, 0) <= 0) {
            return;
        }
    }
}

void Peer::reset() {
    if (fd_ < 0) {
        return;
    }
    linger l{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    close();
}

void Peer::close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

FakeServer::FakeServer() {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    int yes = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof a;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(listener_, 16) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &size) != 0) {
        throw std::runtime_error("fake server cannot listen");
    }
    port_ = ntohs(a.sin_port);
}

FakeServer::~FakeServer() {
    join();
    ::close(listener_);
}

void FakeServer::serve(stUserInfo self, std::vector<stUserInfo> others, Script script,
                       std::size_t clients) {
    thread_ = std::thread([this, self, others = std::move(others), script, clients] {
        std::vector<std::vector<stUserInfo>> groups{{self}};
        if (!others.empty()) {
            groups.push_back(others);
        }
        const auto reply = test::login_reply(static_cast<std::int32_t>(groups.size()), groups);
        for (std::size_t i = 0; i < clients; ++i) {
            int fd = ::accept(listener_, nullptr, nullptr);
            if (fd < 0) {
                return;
            }
            int yes = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
            {
                Peer peer(fd);
                std::uint8_t request[kLoginRequestSize];
                if (peer.receive(request, sizeof request) && peer.send(reply)) {
                    script(peer);
                }
            }
            ++finished_;
        }
    });
}

void FakeServer::join() {
    // Wakes an accept that waits for a client that never comes.
    ::shutdown(listener_, SHUT_RDWR);
    if (thread_.joinable()) {
        thread_.join();
    }
}

std::size_t directory_entries(const std::string& path) {
    std::size_t n = 0;
    if (DIR* d = ::opendir(path.c_str())) {
        while (dirent* e = ::readdir(d)) {
            if (e->d_name[0] != '.') {
                ++n;
            }
        }
        ::closedir(d);
    }
    return n;
}

// Both counts include the directory stream opened to count them.
std::size_t open_descriptors() {
    return directory_entries("/proc/self/fd");
}

std::size_t running_threads() {
    return directory_entries("/proc/self/task");
}

}  // namespace palaver::faults
