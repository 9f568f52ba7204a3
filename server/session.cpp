#include "server/session.h"

#include <sstream>

#include "server/handlers.h"
#include "server/server_state.h"

namespace palaver::server {
namespace {

long long seconds(std::chrono::milliseconds ms) {
    return static_cast<long long>(ms.count() / 1000);
}

}  // namespace

Session::Session(tcp::socket socket, ServerState& state, asio::ssl::context* tls)
    : stream_(std::move(socket), tls),
      state_(state),
      timer_(stream_.executor()),
      peer_(stream_.peer()) {}

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
            self->close("TLS handshake failed: " + self->stream_.failure(ec), Level::Warn);
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
    if (deadline_ < timer_.expiry()) {
        wait_deadline();
    }
}

void Session::read() {
    stream_.read_some(reader_.write_position(), reader_.write_room(),
                      [self = shared_from_this()](const asio::error_code& ec, std::size_t count) {
                          self->on_read(ec, count);
                      });
}

void Session::on_read(const asio::error_code& ec, std::size_t count) {
    if (closed_ || finishing_) {
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
            close(foreign, Level::Warn);
            return;
        }
    }
    reader_.commit(count);
    bool any = false;
    if (!take_frames(any)) {
        return;
    }
    // What is already received is taken in this turn too, so that what it
    // brings goes out in one write to each member.
    for (;;) {
        asio::error_code failure;
        count = stream_.read_received(reader_.write_position(), reader_.write_room(), failure);
        reader_.commit(count);
        if (count > 0 && !take_frames(any)) {
            return;
        }
        if (failure) {
            read_failed(failure);
            return;
        }
        if (count == 0) {
            break;
        }
    }
    if (any && loggedIn_) {
        deadline_ = Clock::now() + state_.settings().idleTimeout;
    }
    read();
}

bool Session::take_frames(bool& any) {
    Frame frame;
    FrameReader::Status status;
    while ((status = reader_.next(frame)) == FrameReader::Status::Frame) {
        if (reader_.empty_frames() != 0) {
            break;
        }
        any = true;
        if (loggedIn_) {
            handle_request(state_, *this, frame);
        } else {
            handle_login(state_, *this, frame);
        }
        if (closed_ || finishing_) {
            return false;
        }
    }
    if (reader_.empty_frames() != 0) {
        close("hostile input: a frame of length 0", Level::Warn);
        return false;
    }
    if (status == FrameReader::Status::Broken) {
        close("hostile input: a frame longer than 500 bytes", Level::Warn);
        return false;
    }
    return true;
}

void Session::read_failed(const asio::error_code& ec) {
    if (stream_.closed_by_peer(ec)) {
        close("connection closed by the client");
    } else {
        close("read failed: " + stream_.failure(ec));
    }
}

void Session::wait_deadline() {
    timer_.expires_at(deadline_);
    timer_.async_wait(
        [self = shared_from_this()](const asio::error_code& ec) { self->on_deadline(ec); });
}

void Session::on_deadline(const asio::error_code& ec) {
    if (ec || closed_) {
        return;
    }
    // Reads move the deadline without touching the timer: look again.
    if (Clock::now() < deadline_) {
        wait_deadline();
        return;
    }
    const Settings& s = state_.settings();
    if (loggedIn_) {
        close("idle for " + std::to_string(seconds(s.idleTimeout)) + " s");
    } else if (!stream_.handshaken()) {
        close("TLS handshake not finished within " + std::to_string(seconds(s.loginTimeout)) +
              " s");
    } else {
        close("no login request within " + std::to_string(seconds(s.loginTimeout)) + " s");
    }
}

void Session::deliver(const BufferRef& message) {
    if (closed_ || overflowed_) {
        return;
    }
    if (!queue_.fits(message->size(), state_.settings().queueLimit)) {
        // Called while a room is being walked: close on the next turn.
        overflowed_ = true;
        asio::post(stream_.executor(), [self = shared_from_this()] {
            self->close(
                "slow reader: " + std::to_string(self->queue_.pending()) + " bytes not taken",
                Level::Warn);
        });
        return;
    }
    queue_.push(message);
    if (!writing_ && !writePosted_) {
        writePosted_ = true;
        asio::post(stream_.executor(), [self = shared_from_this()] {
            self->writePosted_ = false;
            self->write();
        });
    }
}

bool Session::drained() {
    if (!queue_.empty()) {
        return false;
    }
    if (finishing_) {
        close(finishReason_);
    }
    return true;
}

void Session::write() {
    while (!closed_ && !writing_ && stream_.handshaken()) {
        if (drained()) {
            return;
        }
        asio::error_code ec;
        std::size_t n = stream_.write_now(queue_, ec);
        if (ec == asio::error::would_block) {
            writing_ = true;
            stream_.write_later(
                queue_, [self = shared_from_this()](const asio::error_code& ec, std::size_t n) {
                    self->writing_ = false;
                    if (self->closed_) {
                        return;
                    }
                    if (ec) {
                        self->close("write failed: " + self->stream_.failure(ec));
                        return;
                    }
                    self->queue_.written(n);
                    self->write();
                });
            return;
        }
        if (ec) {
            close("write failed: " + stream_.failure(ec));
            return;
        }
        queue_.written(n);
    }
}

void Session::finish(std::string_view reason) {
    if (closed_ || finishing_) {
        return;
    }
    finishing_ = true;
    finishReason_ = reason;
    if (!writing_ && !writePosted_) {
        write();
    }
}

void Session::close(std::string_view reason, Level level) {
    if (closed_) {
        return;
    }
    closed_ = true;
    state_.log().write(level, "disconnect ", describe(), ": ", reason);
    state_.forget(*this, ServerState::Departure::Announced);
    timer_.cancel();
    queue_.clear();
    if (stream_.says_goodbye() && !writing_) {
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

}  // namespace palaver::server
