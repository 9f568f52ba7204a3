#include "loopback_server.h"

#include <cstring>

namespace {

constexpr int kLoginRequestSize = 106;

bool send_bytes(SOCKET s, const std::vector<std::uint8_t>& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        int n = send(s, reinterpret_cast<const char*>(bytes.data() + sent),
                     static_cast<int>(bytes.size() - sent), 0);
        if (n < 1) {
            return false;
        }
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

void put_i32(std::vector<std::uint8_t>& out, std::int32_t v) {
    std::uint8_t b[4];
    std::memcpy(b, &v, 4);
    out.insert(out.end(), b, b + 4);
}

void put_user(std::vector<std::uint8_t>& out, const stUserInfo& u) {
    const auto* b = reinterpret_cast<const std::uint8_t*>(&u);
    out.insert(out.end(), b, b + sizeof u);
}

}  // namespace

stUserInfo LoopbackServer::user(std::int32_t id, const char* name) {
    stUserInfo u{};
    u.userId = id;
    std::strncpy(u.name, name, sizeof u.name - 1);
    std::memcpy(u.locationKey, kKey, sizeof kKey);
    return u;
}

LoopbackServer::LoopbackServer(After after) : after_(after) {
    WSAStartup(0x0202, &wsa_);
    listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    at.sin_port = 0;
    bind(listener_, reinterpret_cast<sockaddr*>(&at), sizeof at);
    listen(listener_, 1);
    int size = sizeof at;
    getsockname(listener_, reinterpret_cast<sockaddr*>(&at), &size);
    port_ = ntohs(at.sin_port);
    thread_ = std::thread([this] { serve(); });
}

LoopbackServer::~LoopbackServer() {
    closesocket(listener_);  // ends an accept that never got a client
    thread_.join();
    WSACleanup();
}

void LoopbackServer::serve() {
    SOCKET s = accept(listener_, nullptr, nullptr);
    if (s != INVALID_SOCKET) {
        DWORD limit = 20000;  // a client that goes silent cannot hold the test
        setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&limit), sizeof limit);
        std::vector<std::uint8_t> in;
        char buffer[4096];
        bool replied = false;
        for (;;) {
            int n = recv(s, buffer, sizeof buffer, 0);
            if (n < 1) {
                std::lock_guard<std::mutex> hold(mutex_);
                closed_ = n == 0;
                break;
            }
            in.insert(in.end(), buffer, buffer + n);
            if (!replied && in.size() >= kLoginRequestSize) {
                replied = true;
                in.erase(in.begin(), in.begin() + kLoginRequestSize);
                std::vector<std::uint8_t> reply;
                put_i32(reply, 1);  // one group
                put_i32(reply, 2);  // of two records: the own one first
                put_user(reply, user(kOwnId, "seven"));
                put_user(reply, user(kOtherId, "nine"));
                // Talk from 9 to 7: header, sender, target, key, flag, text.
                const std::size_t textSize = sizeof kGreeting;  // with its NUL
                const auto length = static_cast<std::uint16_t>(14 + textSize);
                reply.push_back(static_cast<std::uint8_t>(length & 0xFF));
                reply.push_back(static_cast<std::uint8_t>(length >> 8));
                reply.push_back(3);
                put_i32(reply, kOtherId);
                put_i32(reply, kOwnId);
                reply.insert(reply.end(), kKey, kKey + 4);
                reply.push_back(0);
                reply.insert(reply.end(), kGreeting, kGreeting + textSize);
                if (!send_bytes(s, reply) || after_ == After::HangUp) {
                    break;
                }
            }
            if (replied) {
                std::lock_guard<std::mutex> hold(mutex_);
                received_ = in;
            }
        }
        closesocket(s);
    }
    std::lock_guard<std::mutex> hold(mutex_);
    ended_ = true;
    changed_.notify_all();
}

bool LoopbackServer::wait_closed(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, limit, [this] { return ended_; });
    return closed_;
}

std::vector<std::uint8_t> LoopbackServer::received() {
    std::lock_guard<std::mutex> hold(mutex_);
    return received_;
}
