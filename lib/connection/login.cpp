#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include "lib/client/error.h"
#include "lib/connection/lifecycle.h"
#include "lib/connection/login_limit.h"
#include "lib/connection/send.h"
#include "lib/connection/timing.h"
#include "lib/connection/tls_stream.h"
#include "protocol/client_messages.h"
#include "protocol/login_reply.h"

namespace palaver {
namespace {

// Closes the socket of a Login that does not get through, keeping the error
// code of the call that failed.
class PendingSocket {
  public:
    explicit PendingSocket(std::uint16_t family) : handle_(platform::open_tcp_socket(family)) {}
    ~PendingSocket() {
        if (handle_ != platform::kNoSocket) {
            int error = platform::last_error();
            platform::close_socket(handle_);
            platform::set_last_error(error);
        }
    }
    PendingSocket(const PendingSocket&) = delete;
    PendingSocket& operator=(const PendingSocket&) = delete;

    platform::SocketHandle get() const { return handle_; }
    platform::SocketHandle release() {
        platform::SocketHandle h = handle_;
        handle_ = platform::kNoSocket;
        return h;
    }

  private:
    platform::SocketHandle handle_;
};

// The receive time-out, shortened to the KeepAlive period when that is
// shorter: the receive thread sends the KeepAlives when a read returns.
int receive_timeout_ms() {
    return std::min(timing().receiveTimeoutMs.load(), timing().keepAlivePeriodMs.load());
}

// Records why a Login gave 0 or -1 and returns `result`: a Logout that called
// it off, its time running out, or `otherwise` (what failed, with the
// socket's own error code kept).
int failed(const LoginLimit& limit, int otherwise, int result = 0) {
    if (last_error_code() != PALAVER_OK) {
        return result;  // the reason is known already (no address)
    }
    if (limit.called_off()) {
        set_error(PALAVER_E_CANCELLED);
    } else if (platform::last_error() == platform::timed_out_code()) {
        set_error(PALAVER_E_TIMEOUT);
    } else {
        set_error(otherwise);
    }
    return result;
}

// Where the records of the login reply go: the first of the first group is the
// user's own record, every other one a user of the room.
class ReplySink : public LoginReplyParser::Sink {
  public:
    ReplySink(RoomState& room, stUserInfo& user) : room_(room), user_(user) {}

    void on_record(const stUserInfo& record, bool own) override {
        if (own) {
            user_ = record;
            std::lock_guard<std::mutex> hold(room_.selfNameLock);
            room_.self = record;
            // The host reads the own name through a bare pointer: make sure it
            // ends before the location key.
            if (name_length(room_.self) == sizeof room_.self.name) {
                room_.self.name[sizeof room_.self.name - 1] = '\0';
            }
            return;
        }
        std::lock_guard<std::mutex> hold(room_.userLock);
        room_.users.insert(record);
    }

  private:
    RoomState& room_;
    stUserInfo& user_;
};

// Reads exactly the reply, never a byte of what follows it (through TLS,
// what follows stays decrypted in the session). Returns 1 when the whole
// reply is in, the refusal code, 0 when no status arrived, -1 when the reply
// broke off after its status.
int read_login_reply(ClientState& state, platform::SocketHandle s, TlsStream* tls, stUserInfo& user,
                     const LoginLimit& limit) {
    RoomState& room = state.room;
    auto read_some = [&](std::uint8_t* into, std::size_t wanted) -> long {
        if (tls != nullptr) {
            return tls->receive(state.connection, s, into, wanted, &limit);
        }
        return limit.wait_readable(s) ? platform::receive_some(s, into, wanted) : -1;
    };
    std::array<std::uint8_t, kGroupBufferSize> buffer;
    LoginReplyParser parser;
    ReplySink sink(room, user);
    bool usersCleared = false;
    for (;;) {
        switch (parser.state()) {
            case LoginReplyParser::State::Refused:
                return parser.status();
            case LoginReplyParser::State::Done:
                return 1;
            default:
                break;
        }
        long n = read_some(buffer.data(), parser.wanted());
        if (n < 1) {
            return parser.accepted() ? -1 : 0;
        }
        parser.feed(buffer.data(), static_cast<std::size_t>(n), sink);
        if (parser.accepted() && !usersCleared) {
            std::lock_guard<std::mutex> hold(room.userLock);
            room.users.clear();
            usersCleared = true;
        }
    }
}

int open_connection(ClientState& state, stUserInfo& user, const char* login,
                    std::size_t loginLength, const LoginLimit& limit) {
    // The receive buffer is left to the system's autotuning: a small fixed
    // SO_RCVBUF turns it off, and on a link with a large segment size (loopback)
    // the advertised window then sticks just below one segment, so the server
    // sends only on its persist timer and the room seems to freeze.
    std::string serverName;
    const platform::Endpoint server = state.server.load(&serverName);
    const TlsChoice tlsChoice = state.tls.load();
    if (server.family == 0) {
        set_error(PALAVER_E_NO_ADDRESS);  // begin_connect refuses it below
    }
    PendingSocket socket(server.family != 0 ? server.family : platform::family_inet());
    platform::SocketHandle s = socket.get();
    auto connected = [s](int ms) { return platform::wait_connected(s, ms); };
    if (s == platform::kNoSocket || !platform::set_receive_timeout(s, receive_timeout_ms()) ||
        !platform::begin_connect(s, server) || !limit.wait(connected)) {
        return failed(limit, PALAVER_E_CONNECT);
    }
    std::unique_ptr<TlsStream> tls;
    if (tlsChoice.enabled) {
        tls = TlsStream::start(s, {tlsChoice.verify, tlsChoice.caFile, serverName}, limit);
        if (tls == nullptr) {
            return failed(limit, PALAVER_E_CONNECT);
        }
    }
    auto request = encode_login_request(user, login, loginLength);
    if (!(tls != nullptr ? tls->send(s, request.data(), request.size())
                         : send_all(s, request.data(), request.size()))) {
        return failed(limit, PALAVER_E_CONNECT);
    }
    int result = read_login_reply(state, s, tls.get(), user, limit);
    if (result == 0) {
        return failed(limit, PALAVER_E_CONNECT);
    }
    if (result == -1) {
        return failed(limit, PALAVER_E_BROKEN_REPLY, -1);
    }
    if (result < 0) {
        set_error(PALAVER_E_REFUSED);
        return result;
    }
    Connection& c = state.connection;
    std::lock_guard<std::mutex> lifecycle(c.lifecycleLock);
    if (limit.called_off()) {
        platform::set_last_error(platform::timed_out_code());
        return failed(limit, PALAVER_E_CANCELLED);
    }
    {
        std::lock_guard<SendLock> hold(c.sendLock);
        c.tls = std::move(tls);
        c.socket.store(socket.release());
    }
    c.stop.store(false);
    c.hostEnding.store(false);
    c.connected.store(true);
    state.room.events.set_broken(false);
    state.room.events.mark_users_changed();
    if (!c.receiver.start(receive_thread, &state)) {
        end_connection(state, false);
        set_error(PALAVER_E_THREAD);
        return 0;
    }
    return 1;
}

}  // namespace

int login(ClientState& state, stUserInfo& user, const char* loginString) {
    set_error(PALAVER_OK);
    if (loginString == nullptr) {
        set_error(PALAVER_E_INVALID);
        return 0;
    }
    std::size_t loginLength = 0;
    while (loginLength <= kLoginStringField && loginString[loginLength] != '\0') {
        ++loginLength;
    }
    if (loginLength > kLoginStringField) {
        set_error(PALAVER_E_TOO_LONG);
        return 0;
    }
    Connection& c = state.connection;
    const unsigned logoutsBefore = c.logouts.load();
    std::lock_guard<std::mutex> oneLogin(c.loginLock);
    const LoginLimit limit(c, logoutsBefore);  // the time runs from here
    {
        std::lock_guard<std::mutex> lifecycle(c.lifecycleLock);
        if (limit.called_off()) {
            set_error(PALAVER_E_CANCELLED);
            return 0;
        }
        end_connection(state, true);
    }
    try {
        return open_connection(state, user, loginString, loginLength, limit);
    } catch (const std::bad_alloc&) {
        set_error(PALAVER_E_NO_MEMORY);
        return 0;
    }
}

}  // namespace palaver
