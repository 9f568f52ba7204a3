#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include "lib/client/error.h"
#include "lib/connection/host_driven.h"
#include "lib/connection/lifecycle.h"
#include "lib/connection/login_limit.h"
#include "lib/connection/login_steps.h"
#include "lib/connection/send.h"
#include "lib/connection/server_connect.h"
#include "lib/connection/timing.h"
#include "lib/connection/tls_stream.h"
#include "protocol/client_messages.h"
#include "protocol/login_reply.h"

namespace palaver {
namespace {

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

// How reading the login reply ended. Apart from the status word, which a
// refusal may set to any negative value, -1 included.
enum class Reply { Whole, Refused, NoStatus, BrokeOff };

// Reads exactly the reply, never a byte of what follows it (through TLS,
// what follows stays decrypted in the session); `status` gets the status
// word once it came.
Reply read_login_reply(ClientState& state, platform::SocketHandle s, TlsStream* tls,
                       stUserInfo& user, const LoginLimit& limit, std::int32_t& status) {
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
        if (parser.state() != LoginReplyParser::State::Status) {
            status = parser.status();
        }
        switch (parser.state()) {
            case LoginReplyParser::State::Refused:
                return Reply::Refused;
            case LoginReplyParser::State::Done:
                return Reply::Whole;
            default:
                break;
        }
        long n = read_some(buffer.data(), parser.wanted());
        if (n < 1) {
            return parser.accepted() ? Reply::BrokeOff : Reply::NoStatus;
        }
        parser.feed(buffer.data(), static_cast<std::size_t>(n), sink);
        if (parser.accepted() && !usersCleared) {
            std::lock_guard<std::mutex> hold(room.userLock);
            room.users.clear();
            usersCleared = true;
        }
    }
}

}  // namespace

int establish_connection(ClientState& state, stUserInfo& user, const char* login,
                         std::size_t loginLength, const LoginLimit& limit, std::int32_t& status,
                         PendingSocket& socket, std::unique_ptr<TlsStream>& tls) {
    // The receive buffer is left to the system's autotuning: a small fixed
    // SO_RCVBUF turns it off, and on a link with a large segment size (loopback)
    // the advertised window then sticks just below one segment, so the server
    // sends only on its persist timer and the room seems to freeze.
    const ServerTarget server = state.server.load();
    const TlsChoice tlsChoice = state.tls.load();
    if (server.endpoint.family == 0) {
        set_error(PALAVER_E_NO_ADDRESS);
        return 0;
    }
    if (!connect_first(addresses_to_try(server), socket, limit) ||
        !platform::set_receive_timeout(socket.get(), receive_timeout_ms())) {
        return failed(limit, PALAVER_E_CONNECT);
    }
    const platform::SocketHandle s = socket.get();
    if (tlsChoice.enabled) {
        tls = TlsStream::start(s, {tlsChoice.verify, tlsChoice.caFile, server.name}, limit);
        if (tls == nullptr) {
            return failed(limit, PALAVER_E_CONNECT);
        }
    }
    auto request = encode_login_request(user, login, loginLength);
    if (!(tls != nullptr ? tls->send(s, request.data(), request.size())
                         : send_all(s, request.data(), request.size()))) {
        return failed(limit, PALAVER_E_CONNECT);
    }
    switch (read_login_reply(state, s, tls.get(), user, limit, status)) {
        case Reply::NoStatus:
            return failed(limit, PALAVER_E_CONNECT);
        case Reply::BrokeOff:
            return failed(limit, PALAVER_E_BROKEN_REPLY, -1);
        case Reply::Refused:
            set_error(PALAVER_E_REFUSED);
            return status;
        case Reply::Whole:
            break;
    }
    return 1;
}

bool install_connection(ClientState& state, PendingSocket& socket,
                        std::unique_ptr<TlsStream>& tls) {
    Connection& c = state.connection;
    std::unique_lock<std::mutex> driven;
    if (c.driven != nullptr) {
        driven = std::unique_lock<std::mutex>(c.driven->lock);
    }
    bool ready = true;
    {
        std::lock_guard<SendLock> hold(c.sendLock);
        const platform::SocketHandle old = c.socket.load();
        if (old != platform::kNoSocket) {
            platform::close_socket(old);  // the broken connection a reconnect replaces
        }
        c.socketSendLimitMs = 0;
        c.tls = std::move(tls);
        c.socket.store(socket.release());
        if (c.driven != nullptr) {
            ready = prepare_driven(state, c.socket.load());
        }
    }
    c.stop.store(false);
    c.hostEnding.store(false);
    c.connected.store(ready);
    state.room.events.set_broken(false);
    state.room.events.mark_users_changed();
    state.room.events.notify();
    return ready;
}

namespace {

int open_connection(ClientState& state, stUserInfo& user, const char* login,
                    std::size_t loginLength, const LoginLimit& limit, std::int32_t& status) {
    PendingSocket socket;
    std::unique_ptr<TlsStream> tls;
    int result = establish_connection(state, user, login, loginLength, limit, status, socket, tls);
    if (result != 1) {
        return result;
    }
    Connection& c = state.connection;
    std::lock_guard<std::mutex> lifecycle(c.lifecycleLock);
    if (limit.called_off()) {
        platform::set_last_error(platform::timed_out_code());
        return failed(limit, PALAVER_E_CANCELLED);
    }
    if (!install_connection(state, socket, tls)) {
        end_connection(state, false);
        set_error(PALAVER_E_CONNECT);
        return 0;
    }
    if (c.driven == nullptr && !c.receiver.start(receive_thread, &state)) {
        end_connection(state, false);
        set_error(PALAVER_E_THREAD);
        return 0;
    }
    return 1;
}

}  // namespace

int login(ClientState& state, stUserInfo& user, const char* loginString,
          std::int32_t* serverStatus) {
    std::int32_t ignored = 0;
    std::int32_t& status = serverStatus != nullptr ? *serverStatus : ignored;
    status = 0;
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
        const stUserInfo requested = user;
        int result = open_connection(state, user, loginString, loginLength, limit, status);
        if (result == 1) {
            status = 1;  // whatever count of groups the word gave
            c.reconnect.remember(requested, loginString, loginLength);
        }
        return result;
    } catch (const std::bad_alloc&) {
        set_error(PALAVER_E_NO_MEMORY);
        return 0;
    }
}

}  // namespace palaver
