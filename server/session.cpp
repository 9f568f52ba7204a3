#include "server/session.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

#include "server/handlers.h"
#include "server/server_state.h"

namespace palaver::server {
namespace {

// "30 s", or "0.5 s" for a time set below a second (tests do).
std::string seconds(std::chrono::milliseconds ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%g s", static_cast<double>(ms.count()) / 1000);
    return text;
}

// How long a drained session waits for its client to close after the server
// has ended its own side.
constexpr std::chrono::seconds kLinger{1};

}  // namespace

Session::Session(tcp::socket socket, ServerState& state, asio::ssl::context* tls)
    : stream_(std::move(socket), tls),
      state_(state),
      timer_(stream_.executor()),
      peer_(stream_.peer()),
      queue_(state.queued_total()),
      budget_(state.settings().requestRate, state.settings().requestBurst, Clock::now()) {}

Session::~Session() {
    // The event loop may be torn down with sessions still open.
    if (!closed_) {
        state_.forget(*this, ServerState::Departure::Silent);
    }
}

std::string Session::describe() const {
    if (!loggedIn_) {
        return peer_;
    }
    std::ostringstream text;
    text << "id " << user_.userId << " \"" << untrusted(loginName) << "\" (" << peer_ << ")";
    return text.str();
}

void Session::start() {
    stream_.prepare();
    // The handshake, too, must be over within the login time.
    deadline_ = Clock::now() + state_.settings().loginTimeout;
    wait_deadline();
    stream_.handshake([self = shared_from_this()](const asio::error_code& ec) {
        if (self->closed_) {
            return;
        }
        if (ec) {
            self->close(CloseCause::TlsFailed, "TLS handshake failed: " + self->stream_.failure(ec),
                        Level::Warn);
            return;
        }
        self->read();
    });
}

void Session::mark_logged_in() {
    loggedIn_ = true;
    deadline_ = Clock::now() + state_.settings().idleTimeout;
    // The timer still waits for the login deadline: an idle limit shorter
    // than the login one must not wait that long.
    wake_by(deadline_);
}

void Session::resume() {
    if (held_ > 0 && --held_ > 0) {
        return;
    }
    if (reading()) {
        pump();
    }
}

void Session::read() {
    stream_.read_some(reader_.write_position(), reader_.write_room(),
                      [self = shared_from_this()](const asio::error_code& ec, std::size_t count) {
                          self->on_read(ec, count);
                      });
}

void Session::on_read(const asio::error_code& ec, std::size_t count) {
    if (!reading()) {
        return;
    }
    if (ec) {
        read_failed(ec);
        return;
    }
    if (!readAny_) {
        readAny_ = true;
        auto foreign = stream_.foreign_start(reader_.write_position(), count);
        if (!foreign.empty()) {
            close(CloseCause::WrongProtocol, foreign, Level::Warn);
            return;
        }
    }
    reader_.commit(count);
    pump();
}

void Session::pump() {
    bool any = false;
    Taken taken;
    // What is already received is taken in this turn too, so that what it
    // brings goes out in one write to each member.
    asio::error_code failure;
    while ((taken = take_frames(any)) == Taken::All && !failure) {
        std::size_t count =
            stream_.read_received(reader_.write_position(), reader_.write_room(), failure);
        reader_.commit(count);
        if (count == 0 && !failure) {
            break;
        }
    }
    // The frames that came with a failure (a close_notify) are taken first.
    if (failure && taken == Taken::All) {
        read_failed(failure);
        return;
    }
    if (any && loggedIn_ && reading()) {
        deadline_ = Clock::now() + state_.settings().idleTimeout;
    }
    if (taken == Taken::All) {
        read();
    }
}

Session::Taken Session::take_frames(bool& any) {
    Frame frame;
    FrameReader::Status status;
    Clock::time_point now{};
    while ((status = reader_.next(frame)) == FrameReader::Status::Frame) {
        if (reader_.empty_frames() != 0) {
            break;
        }
        if (loggedIn_ && budget_.limited()) {
            if (now == Clock::time_point{}) {
                now = Clock::now();
            }
            if (!budget_.spend(request_cost(state_, *this, frame), now)) {
                reader_.put_back(frame);
                pause(now);
                return reading() ? Taken::Paused : Taken::Stopped;
            }
        }
        any = true;
        state_.metrics().received(frame.type);
        if (loggedIn_) {
            handle_request(state_, *this, frame);
        } else {
            handle_login(state_, *this, frame);
        }
        if (!reading()) {
            return Taken::Stopped;
        }
        if (held_) {
            return Taken::Paused;
        }
    }
    if (reader_.empty_frames() != 0) {
        close(CloseCause::HostileInput, "hostile input: a frame of length 0", Level::Warn);
        return Taken::Stopped;
    }
    if (status == FrameReader::Status::Broken) {
        close(CloseCause::HostileInput, "hostile input: a frame longer than 500 bytes",
              Level::Warn);
        return Taken::Stopped;
    }
    return Taken::All;
}

void Session::pause(Clock::time_point now) {
    const Settings& s = state_.settings();
    if (now - lastPause_ > std::chrono::seconds(1)) {
        floodSince_ = now;
    }
    lastPause_ = now;
    if (now - floodSince_ >= s.floodGrace) {
        close(CloseCause::Flooding, "flooding: over the request rate for " + seconds(s.floodGrace),
              Level::Warn);
        return;
    }
    paused_ = true;
    pausedUntil_ = budget_.ready_at();
    wake_by(pausedUntil_);
}

void Session::read_failed(const asio::error_code& ec) {
    if (stream_.closed_by_peer(ec)) {
        close(CloseCause::ClientClosed, "connection closed by the client");
    } else {
        close(CloseCause::NetworkError, "read failed: " + stream_.failure(ec));
    }
}

Clock::time_point Session::next_wake() const {
    Clock::time_point when = deadline_;
    if (stalled_) {
        when = std::min(when, stallSince_ + state_.settings().writeTimeout);
    }
    if (paused_) {
        when = std::min(when, pausedUntil_);
    }
    return when;
}

void Session::wake_by(Clock::time_point when) {
    // The timer always waits for something while the session is open; it
    // is set again only when it would wake too late.
    if (!closed_ && when < timer_.expiry()) {
        wait_deadline();
    }
}

void Session::wait_deadline() {
    timer_.expires_at(next_wake());
    timer_.async_wait(
        [self = shared_from_this()](const asio::error_code& ec) { self->on_deadline(ec); });
}

void Session::on_deadline(const asio::error_code& ec) {
    if (ec || closed_) {
        return;
    }
    const Settings& s = state_.settings();
    Clock::time_point now = Clock::now();
    if (stalled_ && now >= stallSince_ + s.writeTimeout) {
        close(CloseCause::SlowReader,
              "slow reader: messages queued " + seconds(s.writeTimeout) + " ago not taken yet",
              Level::Warn);
        return;
    }
    if (paused_ && now >= pausedUntil_) {
        paused_ = false;
        lastPause_ = now;
        pump();
        if (closed_) {
            return;
        }
    }
    // Reads move the deadline without touching the timer: look again.
    if (now < deadline_) {
        wait_deadline();
        return;
    }
    if (loggedIn_) {
        close(CloseCause::Idle, "idle for " + seconds(s.idleTimeout));
    } else if (!stream_.handshaken()) {
        close(CloseCause::LoginTimeout,
              "TLS handshake not finished within " + seconds(s.loginTimeout));
    } else if (held_) {
        close(CloseCause::LoginTimeout, "login not checked within " + seconds(s.loginTimeout),
              Level::Warn);
    } else {
        close(CloseCause::LoginTimeout, "no login request within " + seconds(s.loginTimeout));
    }
}

void Session::deliver(const BufferRef& message) {
    if (queue(message) && message->size() > kLengthFieldSize) {
        state_.metrics().delivered(message->data()[kLengthFieldSize]);  // the type byte
    }
}

void Session::deliver_login_reply(const BufferRef& reply) {
    if (queue(reply)) {
        state_.metrics().delivered_login_reply();
    }
}

bool Session::queue(const BufferRef& message) {
    if (closed_ || overflowed_) {
        return false;
    }
    std::size_t charge = WriteQueue::charge(*message);
    if (!queue_.fits(charge, state_.settings().queueLimit)) {
        drop_queue(CloseCause::SlowReader,
                   "slow reader: " + std::to_string(queue_.pending()) + " bytes not taken (" +
                       std::to_string(queue_.charged()) + " bytes of memory)");
        return false;
    }
    if (state_.queues_full(charge)) {
        state_.shed_largest_queue();
        if (overflowed_) {
            return false;
        }
    }
    queue_.push(message, charge);
    if (!writing_ && !writePosted_) {
        writePosted_ = true;
        asio::post(stream_.executor(), [self = shared_from_this()] {
            self->writePosted_ = false;
            self->write();
        });
    }
    return true;
}

void Session::drop_queue(CloseCause cause, const std::string& reason) {
    if (closed_ || overflowed_) {
        return;
    }
    // Called while a room is being walked: the queue goes now, the session
    // on the next turn. Nothing is read or written meanwhile.
    overflowed_ = true;
    queue_.clear();
    asio::post(stream_.executor(), [self = shared_from_this(), cause, reason] {
        self->close(cause, reason, Level::Warn);
    });
}

bool Session::drained() {
    if (!queue_.empty()) {
        return false;
    }
    stalled_ = false;
    if (finishing_) {
        lingering_ = draining_;
        close(finishCause_, finishReason_);
    }
    return true;
}

void Session::write_waits() {
    if (!stalled_) {
        stalled_ = true;
        stallMark_ = queue_.pushed();
        stallSince_ = Clock::now();
        wake_by(stallSince_ + state_.settings().writeTimeout);
    }
}

void Session::write_progressed() {
    if (stalled_ && queue_.taken() >= stallMark_) {
        stallMark_ = queue_.pushed();
        stallSince_ = Clock::now();
    }
}

void Session::write() {
    while (!closed_ && !overflowed_ && !writing_ && stream_.handshaken()) {
        if (drained()) {
            return;
        }
        asio::error_code ec;
        std::size_t n = stream_.write_now(queue_, ec);
        if (ec == asio::error::would_block) {
            writing_ = true;
            write_waits();
            stream_.write_later(
                queue_, [self = shared_from_this()](const asio::error_code& ec, std::size_t n) {
                    self->writing_ = false;
                    if (self->closed_ || self->overflowed_) {
                        return;
                    }
                    if (ec) {
                        self->close(CloseCause::NetworkError,
                                    "write failed: " + self->stream_.failure(ec));
                        return;
                    }
                    self->queue_.written(n);
                    self->write_progressed();
                    self->write();
                });
            return;
        }
        if (ec) {
            close(CloseCause::NetworkError, "write failed: " + stream_.failure(ec));
            return;
        }
        queue_.written(n);
        write_progressed();
    }
}

void Session::finish(CloseCause cause, std::string_view reason) {
    if (closed_ || finishing_) {
        return;
    }
    finishing_ = true;
    finishReason_ = reason;
    finishCause_ = cause;
    if (!writing_ && !writePosted_) {
        write();
    }
}

void Session::drain(std::string_view reason) {
    if (closed_) {
        return;
    }
    if (!loggedIn_) {
        // Nothing is owed to a connection still logging in, but the reply
        // to a refused login, which is on its way.
        if (!finishing_) {
            close(CloseCause::Shutdown, reason);
        }
        return;
    }
    draining_ = true;
    // Neither the idle time nor a pause for credits counts any more: a
    // client that takes what is sent stays until it has it all.
    deadline_ = Clock::time_point::max();
    paused_ = false;
    finish(CloseCause::Shutdown, reason);
}

void Session::close(CloseCause cause, std::string_view reason, Level level) {
    if (closed_) {
        return;
    }
    closed_ = true;
    state_.metrics().closed(cause);
    if (refusedRequests > 1) {
        state_.log().write(level, "disconnect ", describe(), ": ", reason, " (", refusedRequests,
                           " requests refused)");
    } else {
        state_.log().write(level, "disconnect ", describe(), ": ", reason);
    }
    state_.forget(*this, ServerState::Departure::Announced);
    timer_.cancel();
    queue_.clear();
    if (lingering_) {
        linger();
    } else if (stream_.says_goodbye() && !writing_) {
        say_goodbye();
    } else {
        stream_.close();
    }
}

void Session::say_goodbye() {
    // A TLS client is told with a close_notify that nothing was cut off; the
    // server does not wait for the client's own, and gives the write a second.
    timer_.expires_after(std::chrono::seconds(1));
    timer_.async_wait([self = shared_from_this()](const asio::error_code& ec) {
        if (!ec) {
            self->stream_.close();
        }
    });
    stream_.goodbye([self = shared_from_this()] {
        self->timer_.cancel();
        self->stream_.close();
    });
}

void Session::linger() {
    // Closing a socket that holds bytes from the client not yet read makes
    // the kernel reset the connection and throw away what it has not yet
    // delivered, the end of what the drain wrote. So the server ends its
    // side and reads on until the client closes its own.
    timer_.expires_after(kLinger);
    timer_.async_wait([self = shared_from_this()](const asio::error_code& ec) {
        if (!ec) {
            self->stream_.close();
        }
    });
    stream_.end_sending([self = shared_from_this()] {
        self->discard(std::make_shared<std::vector<std::uint8_t>>(512));
    });
}

void Session::discard(std::shared_ptr<std::vector<std::uint8_t>> scratch) {
    std::uint8_t* data = scratch->data();
    std::size_t room = scratch->size();
    stream_.discard(data, room,
                    [self = shared_from_this(), scratch = std::move(scratch)](
                        const asio::error_code& ec, std::size_t) mutable {
                        if (!ec) {
                            self->discard(std::move(scratch));
                            return;
                        }
                        self->timer_.cancel();
                        self->stream_.close();
                    });
}

}  // namespace palaver::server
