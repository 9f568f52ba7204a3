// The server's handling of one client's byte stream, before and after login.
// Each input becomes one connection to a server state built from the server's
// own pieces (ServerState, Session) on this thread's event loop, through a
// socket pair rather than TCP so that a run is quick and deterministic.
//
// Input: a mode byte, a cut table, then the client's bytes.
//   mode bit 0: the harness logs in first (as "fuzz"), so the bytes are all
//               requests; bit 1: log in as the admin "boss" instead.
//   bits 2-4: the number of cuts; the client's bytes go out in pieces of
//             1 + c * c / 16 bytes for the cuts c in turn, the server's event
//             loop running after each piece (none: all in one piece).
//   bit 5: set by the target, not the input: palaver_server_tls_fuzz (built
//          with PALAVER_FUZZ_TLS) makes a TLS session, palaver_server_fuzz a
//          plain one; a handshake costs ten plain inputs, so the TLS target
//          gets runs of its own. A TLS session is made as the TLS listener
//          makes it (the server's own context with a self-signed P-256
//          certificate). The client shakes hands, then sends each piece as
//          one TLS record; after a record whose cut is odd the loop does not
//          run, so the next record arrives with it and a frame can span
//          records. This covers the TLS transport (server/tls_stream.h): the
//          handshake, reads that take every record already received in one
//          turn, gathered writes of up to 64 KiB, and the server's
//          close_notify. What the server writes must decrypt.
//   bit 6 (TLS only): the client hangs up without its close_notify.
//   The bytes EE EE EE EE anywhere in the client's bytes become the client's
//   own id and DD DD DD DD the id of a second, watching client in the same
//   room, so requests can name real users.
// After the bytes the client sends its close_notify (TLS) and half-closes;
// the server must then end the session within a bounded number of event loop
// turns.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <ostream>
#include <sstream>
#include <vector>

#include "PalaverProfile.h"
#include "fuzz/tls_client.h"
#include "protocol/client_messages.h"
#include "protocol/login_reply.h"
#include "server/server_state.h"
#include "server/session.h"
#include "server/tls_context.h"
#include "tests/support/test_certs.h"

namespace {

using namespace palaver;
using namespace palaver::server;
using fuzz::TlsClient;

constexpr std::uint32_t kRoom = 0x00C0FFEE;
constexpr std::uint8_t kLogIn = 1, kAdmin = 2, kTls = 0x20, kNoCloseNotify = 0x40;
#ifdef PALAVER_FUZZ_TLS
constexpr bool kTlsTarget = true;
#else
constexpr bool kTlsTarget = false;
#endif

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
    std::vector<std::uint8_t> received;  // what the server said, decrypted
    std::unique_ptr<TlsClient> tls;      // none on a plain session
    std::vector<std::uint8_t> wire;      // the server's TLS records

    ~Client() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    // Takes whatever the server has written; false once it has closed.
    bool pull() {
        std::vector<std::uint8_t>& into = tls ? wire : received;
        bool open = recv_all(into);
        if (tls) {
            auto state = tls->feed(wire.data(), wire.size(), received);
            wire.clear();
            check(state != TlsClient::State::Broken, "what the server wrote is not sound TLS");
            open = open && state == TlsClient::State::Open;
        }
        return open;
    }

  private:
    bool recv_all(std::vector<std::uint8_t>& into) {
        std::uint8_t buffer[65536];
        for (;;) {
            ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n > 0) {
                into.insert(into.end(), buffer, buffer + n);
                continue;
            }
            return n < 0;  // EAGAIN: still open
        }
    }
};

// The server's TLS context with the test certificates; the fuzzer cannot run
// without it.
std::shared_ptr<asio::ssl::context> tls_context() {
    const test::TestCerts& certs = test::test_certs();
    std::string error;
    auto context = make_tls_context(certs.serverCert, certs.serverKey, error);
    if (!context) {
        std::fprintf(stderr, "server fuzzer: no TLS context: %s\n", error.c_str());
        std::abort();
    }
    return context;
}

struct Harness {
    std::ostream discard{nullptr};  // log lines go nowhere
    Log log{Level::Error, discard};
    // Outlives the event loop, whose abandoned handlers may still hold
    // sessions that tell it they are gone.
    std::unique_ptr<ServerState> state;
    asio::io_context io{1};
    // Keeps poll() working when no session is left between inputs.
    asio::executor_work_guard<asio::io_context::executor_type> busy{io.get_executor()};
    std::shared_ptr<asio::ssl::context> tls = tls_context();
    // Other members of the room: the watcher, whose id the input can name,
    // and for TLS one more, so that the room lists one input can ask for
    // (169 bytes each) fill more than one of the TLS session's 64 KiB writes
    // (the plain target would only run slower for it).
    struct Member {
        std::unique_ptr<Client> client;
        std::int32_t id = 0;
        bool ready = false;  // its login reply has been read
    };
    std::array<Member, kTlsTarget ? 2 : 1> members;  // the watcher first

    Harness() {
        Settings settings;
        settings.port = 0;
        settings.idleTimeout = std::chrono::hours(1);
        settings.loginTimeout = std::chrono::hours(1);
        // A spent request budget waits for the clock, which the harness's
        // turns do not: the rate is tested on its own (server tests).
        settings.requestRate = 0;
        // Failed logins would slow the next ones by the clock, across inputs.
        settings.loginBackoff = false;
        std::istringstream file("boss s3cret admin\nfuzz f\nwatcher w\ncrowd c\n");
        std::string error;
        settings.accounts = std::make_shared<const Accounts>(*Accounts::parse(file, error));
        state = std::make_unique<ServerState>(io, settings, log);
    }

    std::unique_ptr<Client> connect(bool withTls = false) {
        int fds[2];
        check(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0, "socketpair");
        tcp::socket socket(io);
        socket.assign(tcp::v4(), fds[0]);
        auto session =
            std::make_shared<Session>(std::move(socket), *state, withTls ? tls.get() : nullptr);
        state->connected(*session);
        session->start();
        auto client = std::make_unique<Client>();
        client->fd = fds[1];
        client->session = session;
        if (withTls) {
            shake_hands(*client);
        }
        return client;
    }

    void shake_hands(Client& c) {
        c.tls = std::make_unique<TlsClient>();
        for (int i = 0; !c.tls->handshake(); ++i) {
            check(i < 1000, "the TLS handshake did not finish");
            flush(c);
            turn();
            check(c.pull(), "the server ended a sound TLS handshake");
        }
        flush(c);
    }

    void turn() {
        io.poll();
        for (Member& m : members) {
            if (m.ready) {
                m.client->pull();
                m.client->received.clear();
            }
        }
    }

    // Sends the bytes, as one TLS record on a TLS session.
    void send(Client& c, const std::uint8_t* bytes, std::size_t size) {
        if (!c.tls) {
            send_wire(c, bytes, size);
        } else if (c.tls->write(bytes, size)) {
            flush(c);
        }
    }

    // Sends what the TLS client has made.
    void flush(Client& c) {
        std::vector<std::uint8_t> records;
        c.tls->take_output(records);
        send_wire(c, records.data(), records.size());
    }

    void send_wire(Client& c, const std::uint8_t* bytes, std::size_t size) {
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

    // Brings back the members the last input ended; the watcher's id.
    std::int32_t watcher_id() {
        for (Member& m : members) {
            if (!m.client || m.client->session.expired()) {
                m.ready = false;
                m.client = connect();
                bool watcher = &m == &members[0];
                m.id = log_in(*m.client, watcher ? "watcher" : "crowd", watcher ? "w" : "c");
                m.ready = true;
            }
        }
        return members[0].id;
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
    // The target's transport decides bit 5, so one corpus seeds both.
    std::uint8_t mode = kTlsTarget ? (data[0] | kTls) : (data[0] & ~kTls);
    std::size_t cutCount = (mode >> 2) % 8;
    if (size < 1 + cutCount) {
        return 0;
    }
    const std::uint8_t* cuts = data + 1;
    std::vector<std::uint8_t> bytes(data + 1 + cutCount, data + size);

    std::int32_t watcher = h.watcher_id();
    auto client = h.connect(mode & kTls);
    std::int32_t self = 0;
    if (mode & kLogIn) {
        self =
            (mode & kAdmin) ? h.log_in(*client, "boss", "s3cret") : h.log_in(*client, "fuzz", "f");
    }
    put_id(bytes, 0xEE, self);
    put_id(bytes, 0xDD, watcher);

    std::size_t at = 0;
    for (std::size_t read = 0; at < bytes.size() && !client->session.expired(); ++read) {
        std::size_t n = bytes.size() - at;
        std::size_t cut = cutCount > 0 ? cuts[read % cutCount] : 0;
        if (cutCount > 0) {
            n = std::min(n, 1 + cut * cut / 16);
        }
        h.send(*client, bytes.data() + at, n);
        at += n;
        if (client->tls && cut % 2 == 1 && at < bytes.size()) {
            continue;  // the next record joins this one
        }
        h.turn();
        client->pull();
        client->received.clear();
    }
    if (client->tls && !(mode & kNoCloseNotify)) {
        client->tls->close_notify();
        h.flush(*client);
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
