// Palaver for C++ hosts built with any compiler and any standard library: a
// header-only layer over the C interface (palaver_c.h). Strings, vectors and
// the client object are made and freed in the host's own runtime; only C
// types cross into the library.
//
//     palaver::Client client;
//     client.set_server("127.0.0.1", 7400);
//     stUserInfo me{};
//     if (client.login(me) == 1) {
//         client.send_talk(-1, "hello");
//         while (client.connected()) {
//             // The wait reports what is there until it is taken: take it all.
//             int events = client.wait(std::chrono::seconds(1));
//             if (events & PALAVER_EVENT_TALK) for (auto& line : client.talk()) { ... }
//             if (events & PALAVER_EVENT_ACTION) for (auto& act : client.actions()) { ... }
//             if (events & PALAVER_EVENT_USERS) room = client.users();
//             if (events & PALAVER_EVENT_WAKEUP) break;  // client.wakeup() elsewhere
//         }
//     }
//
// Needs C++11.
#ifndef PALAVER_HPP
#define PALAVER_HPP

#include <array>
#include <chrono>
#include <climits>
#include <cstdint>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "palaver_c.h"

namespace palaver {

// How a login ended (see palaver_login_with_status): `code` is PALAVER_OK or
// a PALAVER_E_* code, `serverStatus` the server's status word (1 logged in,
// its negative code when it refused, 0 when none came).
struct LoginResult {
    int code;
    std::int32_t serverStatus;
    bool ok() const { return code == PALAVER_OK; }
};

// A chat line or notice (sender and target -2), owned by the host.
struct ChatLine {
    std::int32_t sender;
    std::int32_t target;
    std::array<unsigned char, 4> locationKey;
    bool whisper;
    std::string text;
};

// One client: its own connection, receive thread and room. Movable, not
// copyable; the destructor logs out and frees it, waking and waiting for
// other threads still inside its methods (the object itself must outlive
// those calls). Every method may be called from any thread; a failing one
// leaves the reason in last_error() and in client_last_error().
class Client {
  public:
    Client() : Client(palaver_client_new()) {}
    // A client without a receive thread, driven from the host's own loop:
    //
    //     palaver::Client c = palaver::Client::host_driven();
    //     ... login ...
    //     pollfd p{c.socket(), short(POLLIN | (c.want_write() ? POLLOUT : 0)), 0};
    //     poll(&p, 1, c.next_timeout_ms());
    //     int events = c.process();
    static Client host_driven() { return Client(palaver_client_new_host_driven()); }
    ~Client() { palaver_client_free(client_); }
    Client(Client&& other) noexcept : client_(other.client_) { other.client_ = nullptr; }
    Client& operator=(Client&& other) noexcept {
        std::swap(client_, other.client_);
        return *this;
    }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // An IPv4 or IPv6 literal or a host name, and a port.
    bool set_server(const std::string& address, int port) {
        return palaver_set_server(client_, address.c_str(), port) == 1;
    }
    // TLS from the next login on (see palaver_set_tls): the certificate is
    // checked against the system's trust store, or the PEM file given (empty:
    // the system's store again). set_tls_verify(false) is for tests and labs
    // only.
    bool set_tls(bool enable) { return palaver_set_tls(client_, enable ? 1 : 0) == 1; }
    bool set_tls_ca_file(const std::string& pemPath) {
        return palaver_set_tls_ca_file(client_, pemPath.empty() ? nullptr : pemPath.c_str()) == 1;
    }
    bool set_tls_verify(bool verify) {
        return palaver_set_tls_verify(client_, verify ? 1 : 0) == 1;
    }
    // How long a send may wait before it ends the connection (see
    // palaver_set_send_limit); at least 1 ms.
    bool set_send_limit(std::chrono::milliseconds limit) {
        return limit.count() >= 1 && limit.count() <= INT_MAX &&
               palaver_set_send_limit(client_, static_cast<int>(limit.count())) == 1;
    }
    // The most chat lines and packed bytes kept for a host that has not
    // taken them; the oldest beyond go (see palaver_set_talk_limit).
    bool set_talk_limit(std::size_t maxLines, std::size_t maxBytes) {
        return palaver_set_talk_limit(client_, maxLines, maxBytes) == 1;
    }
    // Lines dropped for that limit since the client was made.
    std::uint64_t dropped_talk() const { return palaver_dropped_talk(client_); }

    // 1 logged in, 0 failed, the server's negative refusal code, -1 broken reply.
    int login(stUserInfo& user, const std::string& login = std::string()) {
        return palaver_login(client_, &user, login.c_str());
    }
    // The same login, every outcome told apart.
    LoginResult login_with_status(stUserInfo& user, const std::string& login = std::string()) {
        LoginResult result{PALAVER_OK, 0};
        result.code =
            palaver_login_with_status(client_, &user, login.c_str(), &result.serverStatus);
        return result;
    }
    void logout() { palaver_logout(client_); }
    bool connected() const { return palaver_is_connected(client_) == 1; }

    bool send_talk(std::int32_t target, const std::string& text, bool whisper = false) {
        return palaver_send_talk(client_, target, text.c_str(), whisper ? 1 : 0) == 1;
    }
    // All the lines in order, few writes; one line too long refuses them all.
    bool send_talks(std::int32_t target, const std::vector<std::string>& texts,
                    bool whisper = false) {
        std::vector<const char*> pointers;
        pointers.reserve(texts.size());
        for (const auto& text : texts) {
            pointers.push_back(text.c_str());
        }
        return palaver_send_talks(client_, target, pointers.data(), pointers.size(),
                                  whisper ? 1 : 0) == 1;
    }
    bool act(std::int32_t target, unsigned char action) {
        return palaver_do_action(client_, target, action) == 1;
    }
    bool walk(double x, double y, double z, float fourth = 0.0f) {
        return palaver_walk(client_, x, y, z, fourth) == 1;
    }
    bool change_name(const std::string& name) {
        return palaver_change_name(client_, name.c_str()) == 1;
    }
    bool change_model(std::int32_t model) { return palaver_change_model(client_, model) == 1; }
    bool change_picture(const std::string& picture) {
        return palaver_change_picture(client_, picture.c_str()) == 1;
    }
    bool kick(std::int32_t userId, std::int32_t banMinutes) {
        return palaver_kick(client_, userId, banMinutes) == 1;
    }
    bool request_room_list() { return palaver_request_room_list(client_) == 1; }

    // The room's users now, in id order (the own user not among them).
    std::vector<stUserInfo> users() {
        std::vector<stUserInfo> out(16);
        for (;;) {
            std::size_t written = 0;
            int more = palaver_get_users(client_, out.data(), out.size(), &written);
            if (more <= 0) {
                out.resize(more < 0 ? 0 : written);
                return out;
            }
            out.resize(written + static_cast<std::size_t>(more));
        }
    }
    // Every chat line and notice that arrived since the last call, oldest first.
    std::vector<ChatLine> talk() {
        std::vector<ChatLine> out;
        std::vector<palaver_chat_line> batch(64);
        int more = 0;
        do {
            std::size_t written = 0;
            more = palaver_get_talk(client_, batch.data(), batch.size(), &written);
            for (std::size_t i = 0; i < written; ++i) {
                const palaver_chat_line& l = batch[i];
                out.push_back(ChatLine{
                    l.sender,
                    l.target,
                    {l.locationKey[0], l.locationKey[1], l.locationKey[2], l.locationKey[3]},
                    l.whisper != 0,
                    std::string(l.text, l.length)});
            }
        } while (more > 0);
        return out;
    }
    // The latest action of each (sender, target) pair since the last call.
    std::vector<stActionContent> actions() {
        std::vector<stActionContent> out;
        int more = 0;
        do {
            std::size_t at = out.size();
            out.resize(at + 64);
            std::size_t written = 0;
            more = palaver_get_actions(client_, out.data() + at, 64, &written);
            out.resize(at + written);
        } while (more > 0);
        return out;
    }

    // A copy of the own record, never torn.
    stUserInfo self() const {
        stUserInfo copy{};
        palaver_copy_self(client_, &copy);
        return copy;
    }
    // The own record itself, live, for the client's life: a rename may show
    // half done in it. Kept for hosts that use it; self() is the safe read.
#if defined(__GNUC__) || defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#elif defined(_MSC_VER)
#pragma warning(push)
#pragma warning(disable : 4996)
#endif
    PALAVER_DEPRECATED("use self(): a copy made under the library's lock")
    const stUserInfo* self_live() const {
        return palaver_self(client_);
    }
#if defined(__GNUC__) || defined(__clang__)
#pragma GCC diagnostic pop
#elif defined(_MSC_VER)
#pragma warning(pop)
#endif

    // PALAVER_EVENT_* bits that hold, 0 after the time-out.
    int wait(std::chrono::milliseconds timeout) {
        return palaver_wait(client_, static_cast<int>(timeout.count()));
    }
    // Ends one wait (or the next) with PALAVER_EVENT_WAKEUP.
    void wakeup() {
        palaver_wakeup(client_);
    }

    palaver_client* handle() const {
        return client_;
    }
    static int last_error() {
        return palaver_last_error();
    }
    static std::string error_text(int code) {
        return palaver_error_text(code);
    }
    // The failing layer's own words on the last error (the TLS library's reason).
    static std::string last_error_detail() {
        return palaver_last_error_detail();
    }
    // The code and detail this client's last call left, on whichever thread.
    int client_last_error() const {
        return palaver_client_last_error(client_);
    }
    std::string client_last_error_detail() const {
        // Sized first; a detail that changed in between is cut, never overrun.
        std::vector<char> buffer(palaver_client_last_error_detail(client_, nullptr, 0) + 1);
        palaver_client_last_error_detail(client_, buffer.data(), buffer.size());
        return std::string(buffer.data());
    }

    // ---- The host's own loop (see palaver_process) ----
    bool host_driven_client() const {
        return palaver_is_host_driven(client_) == 1;
    }
    // The socket to wait on now (PALAVER_NO_SOCKET when none); ask each turn.
    palaver_socket socket() const {
        return palaver_socket_of(client_);
    }
    bool want_write() const {
        return palaver_want_write(client_) == 1;
    }
    // Reads, writes and keeps alive without blocking; the wait's bits.
    int process() {
        return palaver_process(client_);
    }
    // The time-out for the host's wait; -1 when nothing is due.
    int next_timeout_ms() const {
        return palaver_next_timeout(client_);
    }
    bool set_send_buffer(std::size_t maxBytes) {
        return palaver_set_send_buffer(client_, maxBytes) == 1;
    }
    // One write per turn of the loop for its own sends (palaver_set_send_batching).
    bool set_send_batching(bool enable) {
        return palaver_set_send_batching(client_, enable ? 1 : 0) == 1;
    }
    // Readable (signalled) exactly while wait(0) would report something.
    palaver_event event() const {
        return palaver_event_of(client_);
    }

    // ---- Reconnect (see palaver_set_reconnect) ----
    bool set_reconnect(bool enable) {
        return palaver_set_reconnect(client_, enable ? 1 : 0) == 1;
    }
    bool set_reconnect_delays(std::chrono::milliseconds min, std::chrono::milliseconds max,
                              int jitterPercent = 20, int maxTries = 0) {
        return min.count() <= INT_MAX && max.count() <= INT_MAX &&
               palaver_set_reconnect_delays(client_, static_cast<int>(min.count()),
                                            static_cast<int>(max.count()), jitterPercent,
                                            maxTries) == 1;
    }
    // True while away and trying again; `lastError` gets the last try's code.
    bool reconnecting(int* lastError = nullptr) const {
        return palaver_reconnect_status(client_, lastError) == 1;
    }

  private:
    explicit Client(palaver_client* client) : client_(client) {
        if (client_ == nullptr) {
            throw std::bad_alloc();
        }
    }

    palaver_client* client_;
};

// Many clients of either kind on one thread (see palaver_poller_wait). The
// clients must outlive their membership or leave first; freeing a client
// leaves the poller by itself.
class Poller {
  public:
    Poller() : poller_(palaver_poller_new()) {
        if (poller_ == nullptr) {
            throw std::bad_alloc();
        }
    }
    ~Poller() { palaver_poller_free(poller_); }
    Poller(const Poller&) = delete;
    Poller& operator=(const Poller&) = delete;

    bool add(Client& client) { return palaver_poller_add(poller_, client.handle()) == 1; }
    bool remove(Client& client) { return palaver_poller_remove(poller_, client.handle()) == 1; }
    // The members with something to take (a null client: the wake-up).
    std::vector<palaver_ready> wait(std::chrono::milliseconds timeout, std::size_t most = 64) {
        std::vector<palaver_ready> ready(most == 0 ? 1 : most);
        const int count = palaver_poller_wait(poller_, ready.data(), ready.size(),
                                              static_cast<int>(timeout.count()));
        ready.resize(count < 0 ? 0 : static_cast<std::size_t>(count));
        return ready;
    }
    void wakeup() { palaver_poller_wakeup(poller_); }
    palaver_poller* handle() const { return poller_; }

  private:
    palaver_poller* poller_;
};

}  // namespace palaver

#endif
