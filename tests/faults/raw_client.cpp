#include "tests/faults/raw_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "PalaverProfile.h"
#include "protocol/client_messages.h"
#include "protocol/login_reply.h"

namespace palaver::faults {

RawClient::RawClient(std::uint16_t port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval wait{5, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close();
    }
}

RawClient::~RawClient() {
    close();
}

std::int32_t RawClient::log_in(const char* name, std::uint32_t room) {
    stUserInfo user{};
    profile::set_name(user, name);
    profile::set_room(user, room);
    if (!send([&] {
            auto r = encode_login_request(user, "", 0);
            return std::vector<std::uint8_t>(r.begin(), r.end());
        }())) {
        return 0;
    }
    struct Own : LoginReplyParser::Sink {
        std::int32_t id = 0;
        void on_record(const stUserInfo& r, bool own) override {
            if (own) {
                id = r.userId;
            }
        }
    } own;
    LoginReplyParser parser;
    std::uint8_t buffer[kGroupBufferSize];
    while (parser.state() != LoginReplyParser::State::Done) {
        if (parser.state() == LoginReplyParser::State::Refused) {
            return 0;
        }
        ssize_t n = ::recv(fd_, buffer, parser.wanted(), 0);
        if (n <= 0) {
            return 0;
        }
        parser.feed(buffer, static_cast<std::size_t>(n), own);
    }
    return own.id;
}

bool RawClient::send(const std::vector<std::uint8_t>& bytes) {
    std::size_t at = 0;
    while (at < bytes.size()) {
        ssize_t n = ::send(fd_, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        at += static_cast<std::size_t>(n);
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

void RawClient::reset() {
    if (fd_ >= 0) {
        linger l{1, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        close();
    }
}

void RawClient::close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

}  // namespace palaver::faults
