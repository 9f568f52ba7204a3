#include "server/session.h"

#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <sstream>

#include "server/handlers.h"
#include "server/server_state.h"
#include "server/tls_stream.h"

namespace palaver::server {
namespace {

std::string peer_of(const tcp::socket& socket) {
    asio::error_code ec;
    auto endpoint = socket.remote_endpoint(ec);
    if (ec) {
        return "unknown peer";
    }
    std::ostringstream text;
    text << endpoint;
    return text.str();
}

long long seconds(std::chrono::milliseconds ms) {
    return static_cast<long long>(ms.count() / 1000);
}

}  // namespace

Session::Session(tcp::socket socket, ServerState& state, asio::ssl::context* tls)
    : socket_(std::move(socket)),
      tls_(tls ? std::make_unique<TlsStream>(socket_, *tls) : nullptr),
      state_(state),
      timer_(socket_.get_executor()),
      peer_(peer_of(socket_)) {}

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
    text << "id " << user_.userId << " \"" << loginName << "\" (" << peer_ << ")";
    return text.str();
}

void Session::start() {
    asio::error_code ignored;
    socket_.set_option(tcp::no_delay(true), ignored);
    socket_.non_blocking(true, ignored);  // for the gathered writes
    // The handshake, too, must be over within the login time.
    deadline_ = Clock::now() + state_.settings().loginTimeout;
    wait_deadline();
    if (tls_) {
        handshake();
    } else {
        read();
    }
}

void Session::handshake() {
    tls_->stream.async_handshake(
        asio::ssl::stream_base::server, [self = shared_from_this()](const asio::error_code& ec) {
            if (self->closed_) {
                return;
            }
            if (ec) {
                self->close("TLS handshake failed: " + tls_failure(ec), Level::Warn);
                return;
            }
            self->tls_->handshaken = true;
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
    auto buffer = asio::buffer(reader_.write_position(), reader_.write_room());
    auto done = [self = shared_from_this()](const asio::error_code& ec, std::size_t count) {
        self->on_read(ec, count);
    };
    if (tls_) {
        tls_->stream.async_read_some(buffer, std::move(done));
    } else {
        socket_.async_read_some(buffer, std::move(done));
    }
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
        // No frame starts with a length of 0x16.. (above 500), but a TLS
        // ClientHello does: say what it is rather than "hostile input".
        if (!tls_ && count > 0 && reader_.write_position()[0] == 0x16) {
            close("a TLS client on the plain port (its first bytes are a TLS handshake)",
                  Level::Warn);
            return;
        }
    }
    reader_.commit(count);
    bool any = false;
    if (!take_frames(any)) {
        return;
    }
    // The records already received are taken in this turn too, so that
    // what they bring goes out in one write to each member.
    while (tls_) {
        asio::error_code failure;
        count = read_received(*tls_, reader_.write_position(), reader_.write_room(), failure);
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
    if (ec == asio::error::eof || (tls_ && tls_closed(ec))) {
        close("connection closed by the client");
    } else {
        close("read failed: " + (tls_ ? tls_failure(ec) : ec.message()));
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
    } else if (tls_ && !tls_->handshaken) {
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
        asio::post(socket_.get_executor(), [self = shared_from_this()] {
            self->close(
                "slow reader: " + std::to_string(self->queue_.pending()) + " bytes not taken",
                Level::Warn);
        });
        return;
    }
    queue_.push(message);
    if (!writing_ && !writePosted_) {
        writePosted_ = true;
        asio::post(socket_.get_executor(), [self = shared_from_this()] {
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
    if (tls_) {
        write_tls();
        return;
    }
    // The gathered write goes straight to the socket, up to 1024 blocks at a
    // time (Asio's own writes take 64); the event loop is only asked to wait
    // when the socket is full.
    static thread_local std::array<iovec, WriteQueue::kMaxGather> gather;
    while (!closed_ && !writing_) {
        if (drained()) {
            return;
        }
        msghdr message{};
        message.msg_iov = gather.data();
        message.msg_iovlen = queue_.gather(gather.data(), gather.size());
        ssize_t n = ::sendmsg(socket_.native_handle(), &message, MSG_NOSIGNAL);
        if (n >= 0) {
            queue_.written(static_cast<std::size_t>(n));
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            writing_ = true;
            socket_.async_wait(tcp::socket::wait_write,
                               [self = shared_from_this()](const asio::error_code& ec) {
                                   self->writing_ = false;
                                   if (self->closed_) {
                                       return;
                                   }
                                   if (ec) {
                                       self->close("write failed: " + ec.message());
                                       return;
                                   }
                                   self->write();
                               });
        } else if (errno != EINTR) {
            close(std::string("write failed: ") + std::strerror(errno));
        }
    }
}

void Session::write_tls() {
    // OpenSSL makes a record of each write: copy what is queued, up to 64
    // KiB, into one buffer and write that, so that small messages share
    // records.
    if (closed_ || writing_ || !tls_->handshaken) {
        return;
    }
    if (drained()) {
        return;
    }
    std::vector<std::uint8_t>& out = tls_->out;
    queue_.copy(out, TlsStream::kGather);
    writing_ = true;
    asio::async_write(tls_->stream, asio::buffer(out),
                      [self = shared_from_this()](const asio::error_code& ec, std::size_t n) {
                          self->writing_ = false;
                          if (self->closed_) {
                              return;
                          }
                          if (ec) {
                              self->close("write failed: " + tls_failure(ec));
                              return;
                          }
                          self->queue_.written(n);
                          self->write_tls();
                      });
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
    if (tls_ && tls_->handshaken && !writing_) {
        close_tls();
    } else {
        drop_socket();
    }
}

void Session::close_tls() {
    // A TLS client is told with a close_notify that nothing was cut off; the
    // server does not wait for the client's own, and gives the write a second.
    skip_peer_close_notify(*tls_);
    timer_.expires_after(std::chrono::seconds(1));
    timer_.async_wait([self = shared_from_this()](const asio::error_code& ec) {
        if (!ec) {
            self->drop_socket();
        }
    });
    tls_->stream.async_shutdown([self = shared_from_this()](const asio::error_code&) {
        self->timer_.cancel();
        self->drop_socket();
    });
}

void Session::drop_socket() {
    asio::error_code ignored;
    socket_.shutdown(tcp::socket::shutdown_both, ignored);
    socket_.close(ignored);
}

}  // namespace palaver::server
