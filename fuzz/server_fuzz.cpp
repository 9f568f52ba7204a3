// The server's handling of one client's byte stream, before and after login.
// Each input becomes one connection to a server state built from the server's
// own pieces (ServerState, Session) on this thread's event loop, through a
// socket pair rather than TCP so that a run is quick and deterministic.
// Sessions from the TLS listener hand their decrypted bytes to the same frame
// reader and handlers once the handshake is over, so the plain session
// covers them too; only the transport (server/tls_stream.h) differs.
//
// Input: a mode byte, a cut table, then the client's bytes.
//   mode bit 0: the harness logs in first (as "fuzz"), so the bytes are all
//               requests; bit 1: log in as the admin "boss" instead.
//   The bytes EE EE EE EE anywhere in the client's bytes become the client's
//   own id and DD DD DD DD the id of a second, watching client in the same
//   room, so requests can name real users.
// After the bytes the client half-closes; the server must then end the
// session within a bounded number of event loop turns.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <ostream>
#include <sstream>
#include <vector>

#include "PalaverProfile.h"
#include "protocol/client_messages.h"
#include "protocol/login_reply.h"
#include "server/server_state.h"
#include "server/session.h"

namespace {

using namespace palaver;
using namespace palaver::server;

constexpr std::uint32_t kRoom = 0x00C0FFEE;

void check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

// The client's end of a socket pair whose other end is a server session.
struct Client {
    int fd = -1;
    std::weak_ptr<Session> session;
    std::vector<std::uint8_t> received;

    ~Client() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    // Takes whatever the server has written; false once it has closed.
    bool pull() {
        std::uint8_t buffer[65536];
        for (;;) {
            ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n > 0) {
                received.insert(received.end(), buffer, buffer + n);
                continue;
            }
            return n < 0;  // EAGAIN: still open
        }
    }
};

struct Harness {
    std::ostream discard{nullptr};  // log lines go nowhere
    Log log{Level::Error, discard};
    // Outlives the event loop, whose abandoned handlers may still hold
    // sessions that tell it they are gone.
    std::unique_ptr<ServerState> state;
    asio::io_context io{1};
    // Keeps poll() working when no session is left between inputs.
    asio::executor_work_guard<asio::io_context::executor_type> busy{io.get_executor()};
    std::unique_ptr<Client> watcher;
    bool watcherReady = false;  // its login reply has been read

    Harness() {
        Settings settings;
        settings.port = 0;
        settings.idleTimeout = std::chrono::hours(1);
        settings.loginTimeout = std::chrono::hours(1);
        std::istringstream file("boss s3cret admin\nfuzz f\nwatcher w\n");
        std::string error;
        settings.accounts = std::make_shared<const Accounts>(*Accounts::parse(file, error));
        state = std::make_unique<ServerState>(io, settings, log);
    }

    std::unique_ptr<Client> connect() {
        int fds[2];
        check(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0, "socketpair");
        tcp::socket socket(io);
        socket.assign(tcp::v4(), fds[0]);
        auto session = std::make_shared<Session>(std::move(socket), *state);
        state->connected(*session);
        session->start();
        auto client = std::make_unique<Client>();
        client->fd = fds[1];
        client->session = session;
        return client;
    }

    void turn() {
        io.poll();
        if (watcher && watcherReady) {
            watcher->pull();
            watcher->received.clear();
        }
    }

    void send(Client& c, const std::uint8_t* bytes, std::size_t size) {
        while (size > 0) {
            ssize_t n = ::send(c.fd, bytes, size, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n <= 0) {
                // The server stopped reading (or closed): let it run, then retry.
                turn();
                if (!c.pull() || c.session.expired()) {
                    return;
                }
                continue;
            }
            bytes += n;
            size -= static_cast<std::size_t>(n);
        }
    }

    // Logs `c` in and returns its id, or 0 when the server refuses.
    std::int32_t log_in(Client& c, const char* name, const char* login) {
        stUserInfo user{};
        profile::set_name(user, name);
        profile::set_room(user, kRoom);
        auto request = encode_login_request(user, login, std::strlen(login));
        send(c, request.data(), request.size());
        LoginReplyParser parser;
        struct Own : LoginReplyParser::Sink {
            std::int32_t id = 0;
            void on_record(const stUserInfo& r, bool own) override {
                if (own) {
                    id = r.userId;
                }
            }
        } own;
        std::size_t used = 0;
        for (int i = 0; i < 1000; ++i) {
            turn();
            bool open = c.pull();
            used += parser.feed(c.received.data() + used, c.received.size() - used, own);
            auto s = parser.state();
            if (s == LoginReplyParser::State::Done) {
                return own.id;
            }
            if (s == LoginReplyParser::State::Refused || !open) {
                return 0;
            }
        }
        check(false, "no login reply");
        return 0;
    }

    std::int32_t watcher_id() {
        static std::int32_t id = 0;
        if (!watcher || watcher->session.expired()) {
            watcherReady = false;
            watcher = connect();
            id = log_in(*watcher, "watcher", "w");
            watcherReady = true;
        }
        return id;
    }
};

void put_id(std::vector<std::uint8_t>& bytes, std::uint8_t marker, std::int32_t id) {
    for (std::size_t i = 0; i + 4 <= bytes.size(); ++i) {
        if (bytes[i] == marker && bytes[i + 1] == marker && bytes[i + 2] == marker &&
            bytes[i + 3] == marker) {
            std::memcpy(&bytes[i], &id, 4);
            i += 3;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Harness h;
    if (size < 1) {
        return 0;
    }
    std::uint8_t mode = data[0];
    std::size_t cutCount = (mode >> 2) % 8;
    if (size < 1 + cutCount) {
        return 0;
    }
    const std::uint8_t* cuts = data + 1;
    std::vector<std::uint8_t> bytes(data + 1 + cutCount, data + size);

    std::int32_t watcher = h.watcher_id();
    auto client = h.connect();
    std::int32_t self = 0;
    if (mode & 1) {
        self = (mode & 2) ? h.log_in(*client, "boss", "s3cret") : h.log_in(*client, "fuzz", "f");
    }
    put_id(bytes, 0xEE, self);
    put_id(bytes, 0xDD, watcher);

    std::size_t at = 0;
    for (std::size_t read = 0; at < bytes.size() && !client->session.expired(); ++read) {
        std::size_t n = bytes.size() - at;
        if (cutCount > 0) {
            std::size_t c = cuts[read % cutCount];
            n = std::min(n, 1 + c * c / 16);
        }
        h.send(*client, bytes.data() + at, n);
        at += n;
        h.turn();
        client->pull();
        client->received.clear();
    }
    ::shutdown(client->fd, SHUT_WR);
    for (int i = 0; !client->session.expired(); ++i) {
        check(i < 10000, "the server did not end a session whose client hung up");
        h.turn();
        client->pull();
        client->received.clear();
    }
    return 0;
}
