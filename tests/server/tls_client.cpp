#include "tls_client.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "protocol/client_messages.h"
#include "protocol/login_reply.h"

namespace palaver::test {
namespace {

using TimePoint = std::chrono::steady_clock::time_point;

TimePoint after(Ms timeout) {
    return std::chrono::steady_clock::now() + timeout;
}

}  // namespace

server::Settings tls_settings() {
    server::Settings s = test_settings();
    server::TlsSettings tls;
    tls.certFile = test_certs().serverCert;
    tls.keyFile = test_certs().serverKey;
    s.tls = tls;
    return s;
}

TlsClient::TlsClient(std::uint16_t port) : stream_(io_, context_) {
    context_.load_verify_file(test_certs().ca);
    stream_.set_verify_mode(asio::ssl::verify_peer);
    stream_.set_verify_callback(asio::ssl::host_name_verification("127.0.0.1"));
    stream_.lowest_layer().connect(asio::ip::tcp::endpoint(asio::ip::address_v4::loopback(), port));
    stream_.lowest_layer().set_option(asio::ip::tcp::no_delay(true));
}

bool TlsClient::handshake(Ms timeout) {
    bool done = false;
    asio::error_code result;
    stream_.async_handshake(asio::ssl::stream_base::client, [&](const asio::error_code& ec) {
        done = true;
        result = ec;
    });
    if (!run_until([&] { return done; }, after(timeout))) {
        error_ = "the handshake did not finish";
        stream_.lowest_layer().close();
        run_until([&] { return done; }, after(kDeadline));
        return false;
    }
    error_ = result ? result.message() : "";
    return !result;
}

void TlsClient::send(const std::uint8_t* bytes, std::size_t size) {
    bool done = false;
    asio::async_write(stream_, asio::buffer(bytes, size),
                      [&](const asio::error_code&, std::size_t) { done = true; });
    if (!run_until([&] { return done; }, after(kDeadline))) {
        throw std::runtime_error("a TLS write did not finish");
    }
}

void TlsClient::send_close_notify() {
    bool done = false;
    stream_.async_shutdown([&](const asio::error_code&) { done = true; });
    if (!run_until([&] { return done; }, after(kDeadline))) {
        throw std::runtime_error("the server did not answer the close_notify");
    }
}

bool TlsClient::read_more(TimePoint end) {
    if (closed_) {
        return false;
    }
    if (!reading_) {
        reading_ = true;
        stream_.async_read_some(asio::buffer(chunk_),
                                [this](const asio::error_code& ec, std::size_t n) {
                                    reading_ = false;
                                    if (ec) {
                                        closed_ = true;
                                        cleanClose_ = ec == asio::error::eof;
                                    } else {
                                        in_.insert(in_.end(), chunk_.begin(), chunk_.begin() + n);
                                    }
                                });
    }
    // A read still pending at the time-out stays so: the next call waits on.
    if (!run_until([this] { return !reading_; }, end)) {
        return false;
    }
    return !closed_;
}

std::optional<Received> TlsClient::next(Ms timeout) {
    auto end = after(timeout);
    for (;;) {
        std::size_t taken = reader_.feed(in_.data(), in_.size());
        in_.erase(in_.begin(), in_.begin() + static_cast<std::ptrdiff_t>(taken));
        Frame f;
        auto status = reader_.next(f);
        if (status == FrameReader::Status::Frame) {
            return Received{f.type, std::vector<std::uint8_t>(f.payload, f.payload + f.size)};
        }
        if (status == FrameReader::Status::Broken) {
            return std::nullopt;
        }
        if (in_.empty() && !read_more(end)) {
            return std::nullopt;
        }
    }
}

std::optional<Received> TlsClient::next_of(std::uint8_t type, Ms timeout) {
    return next_message_of(*this, type, timeout);
}

bool TlsClient::closed_within(Ms timeout) {
    auto end = after(timeout);
    while (next(std::chrono::duration_cast<Ms>(end - std::chrono::steady_clock::now()))) {
    }
    return closed_;
}

int TlsClient::login(const std::string& name, std::uint32_t room) {
    send(encode_login_request(make_user(name, room), "", 0));
    struct Sink : LoginReplyParser::Sink {
        TlsClient* c;
        void on_record(const stUserInfo& r, bool own) override {
            if (own) {
                c->self = r;
            }
        }
    } sink;
    sink.c = this;
    LoginReplyParser parser;
    auto end = after(kDeadline);
    // The reply is not framed: the parser takes the bytes up to its end, and
    // the frames after it stay for next().
    while (parser.state() != LoginReplyParser::State::Refused &&
           parser.state() != LoginReplyParser::State::Done) {
        if (in_.empty() && !read_more(end)) {
            throw std::runtime_error("no whole login reply over TLS");
        }
        std::size_t used = parser.feed(in_.data(), in_.size(), sink);
        in_.erase(in_.begin(), in_.begin() + static_cast<std::ptrdiff_t>(used));
    }
    return parser.state() == LoginReplyParser::State::Done ? 1 : parser.status();
}

void TlsClient::talk(std::int32_t target, const std::string& text) {
    std::uint8_t m[kMaxTalkSize];
    send(m, encode_talk(m, id(), target, key(), false, text.data(), text.size()));
}

}  // namespace palaver::test
