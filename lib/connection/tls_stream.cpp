#include "lib/connection/tls_stream.h"

#include <chrono>

#include "lib/client/error.h"
#include "lib/connection/host_driven.h"
#include "lib/connection/send.h"

namespace palaver {
namespace {

// One TLS record and its overhead fit whole.
constexpr std::size_t kReceiveSize = 16 * 1024 + 512;

int error_code_of(platform::TlsFailure failure) {
    switch (failure) {
        case platform::TlsFailure::Unavailable:
            return PALAVER_E_TLS_UNAVAILABLE;
        case platform::TlsFailure::Setup:
            return PALAVER_E_TLS_SETUP;
        case platform::TlsFailure::Certificate:
            return PALAVER_E_TLS_CERTIFICATE;
        default:
            return PALAVER_E_TLS_HANDSHAKE;
    }
}

void report(int code, const std::string& why) {
    set_error(code);
    set_error_detail(why.c_str());
}

}  // namespace

TlsStream::TlsStream(std::unique_ptr<platform::TlsSession> session)
    : session_(std::move(session)), received_(kReceiveSize) {}

std::unique_ptr<TlsStream> TlsStream::start(platform::SocketHandle s,
                                            const platform::TlsOptions& options,
                                            const LoginLimit& limit) {
    auto stream = std::make_unique<TlsStream>(platform::open_tls_session(options));
    if (!stream->shake_hands(s, limit)) {
        return nullptr;
    }
    return stream;
}

bool TlsStream::shake_hands(platform::SocketHandle s, const LoginLimit& limit) {
    // Not shared yet: no lock needed.
    for (;;) {
        const auto step = session_->handshake();
        session_->take_output(pending_);
        // A refusal's alert goes out too, so the server learns why.
        const bool sent = send_all(s, pending_.data(), pending_.size());
        pending_.clear();
        if (step == platform::TlsSession::Step::Failed) {
            report(error_code_of(session_->failure()), session_->failure_text());
            return false;
        }
        if (!sent) {
            return false;
        }
        if (step == platform::TlsSession::Step::Done) {
            return true;
        }
        if (!limit.wait_readable(s)) {
            return false;
        }
        long n = platform::receive_some(s, received_.data(), received_.size());
        if (n == 0) {
            // A plain-text server drops what it cannot read as a login.
            report(PALAVER_E_TLS_HANDSHAKE,
                   "the server closed the connection during the TLS handshake");
        }
        if (n < 1) {
            return false;
        }
        session_->feed(received_.data(), static_cast<std::size_t>(n));
    }
}

long TlsStream::receive(Connection& c, platform::SocketHandle s, std::uint8_t* plain,
                        std::size_t room, const LoginLimit* limit) {
    for (;;) {
        long got;
        bool answer;
        bool ended;
        {
            std::lock_guard<std::mutex> hold(sessionLock_);
            got = session_->read(plain, room);
            // Every record already here, as one read of a plain stream takes
            // all that arrived: the reader then wakes the host once, not per record.
            while (got > 0 && static_cast<std::size_t>(got) < room) {
                long more = session_->read(plain + got, room - static_cast<std::size_t>(got));
                if (more <= 0) {
                    break;  // a failure or the end shows at the next call
                }
                got += more;
            }
            // Reading may make records of its own (a key update's answer).
            session_->take_output(pending_);
            answer = !pending_.empty();
            ended = got < 0 && session_->closed();
            if (got < 0 && !ended) {
                set_error_detail(session_->failure_text().c_str());
            }
        }
        if (answer && c.driven != nullptr) {
            // A host-driven client's records wait their turn in its buffer.
            std::lock_guard<SendLock> hold(c.sendLock);
            std::lock_guard<std::mutex> session(sessionLock_);
            queue_records(c, pending_.data(), pending_.size());
            pending_.clear();
        } else if (answer) {
            // Within the send limit, like every send: a sender stuck ahead
            // is ending the connection.
            std::unique_lock<SendLock> hold(
                c.sendLock,
                std::chrono::milliseconds(c.sendLimitMs.load(std::memory_order_relaxed)));
            if (!hold.owns_lock() || !send_pending(s, send_limit(c, s))) {
                return -1;
            }
        }
        if (got > 0) {
            return got;
        }
        if (got < 0) {
            if (ended) {
                return 0;  // the server's close alert: the end of the stream
            }
            // A broken record: never a time-out that the reader would wait out.
            platform::set_last_error(platform::invalid_argument_code());
            return -1;
        }
        if (limit != nullptr && !limit->wait_readable(s)) {
            return -1;
        }
        long n = platform::receive_some(s, received_.data(), received_.size());
        if (n < 1) {
            return n;
        }
        std::lock_guard<std::mutex> hold(sessionLock_);
        session_->feed(received_.data(), static_cast<std::size_t>(n));
    }
}

bool TlsStream::send(platform::SocketHandle s, const std::uint8_t* plain, std::size_t count,
                     int limitMs) {
    {
        std::lock_guard<std::mutex> hold(sessionLock_);
        if (!session_->write(plain, count)) {
            return false;
        }
    }
    return send_pending(s, limitMs);
}

bool TlsStream::seal(const std::uint8_t* plain, std::size_t count,
                     std::vector<std::uint8_t>& records) {
    std::lock_guard<std::mutex> hold(sessionLock_);
    if (!session_->write(plain, count)) {
        return false;
    }
    session_->take_output(pending_);
    records.insert(records.end(), pending_.begin(), pending_.end());
    pending_.clear();
    return true;
}

bool TlsStream::send_last(platform::SocketHandle s, const std::uint8_t* plain, std::size_t count,
                          int limitMs) {
    {
        std::lock_guard<std::mutex> hold(sessionLock_);
        if (!session_->write(plain, count)) {
            return false;
        }
        session_->close();
    }
    return send_pending(s, limitMs);
}

bool TlsStream::send_pending(platform::SocketHandle s, int limitMs) {
    {
        std::lock_guard<std::mutex> hold(sessionLock_);
        session_->take_output(pending_);
        outgoing_.swap(pending_);  // both keep their room: no allocation per message
    }
    const bool sent = send_all(s, outgoing_.data(), outgoing_.size(), limitMs);
    outgoing_.clear();
    return sent;
}

}  // namespace palaver
