// A test client that speaks the wire protocol inside TLS, with Asio's own
// TLS stream (not the library's), and the test certificates it trusts.
#ifndef PALAVER_TESTS_SERVER_TLS_CLIENT_H
#define PALAVER_TESTS_SERVER_TLS_CLIENT_H

#include <asio.hpp>
#include <asio/ssl.hpp>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "server_harness.h"
#include "test_certs.h"

namespace palaver::test {

// Settings for a test server that listens for TLS (on a free port) beside
// its plain listener.
server::Settings tls_settings();

class TlsClient {
  public:
    // Connects; the handshake is a step of its own.
    explicit TlsClient(std::uint16_t port);
    TlsClient(const TlsClient&) = delete;
    TlsClient& operator=(const TlsClient&) = delete;

    // Verifies the server as 127.0.0.1 against the test CA. False, with
    // error() saying why, when the handshake fails or takes too long.
    bool handshake(Ms timeout = kDeadline);
    const std::string& error() const { return error_; }

    void send(const std::uint8_t* bytes, std::size_t size);
    template <class Bytes>
    void send(const Bytes& bytes) {
        send(bytes.data(), bytes.size());
    }
    // Sends a login request and reads the reply; 1 when logged in, else the
    // refusal's status. Throws when no reply comes.
    int login(const std::string& name, std::uint32_t room = 1);
    void talk(std::int32_t target, const std::string& text);

    std::optional<Received> next(Ms timeout = kDeadline);
    std::optional<Received> next_of(std::uint8_t type, Ms timeout = kDeadline);
    // Sends the client's close_notify and waits for the server's answer.
    void send_close_notify();
    // True when the server ends the connection in time (frames are dropped).
    bool closed_within(Ms timeout = kDeadline);
    // After a close: whether the server sent its close_notify first.
    bool closed_cleanly() const { return cleanClose_; }

    std::int32_t id() const { return self.userId; }
    LocationKey key() const { return location_key_of(self); }
    stUserInfo self{};

  private:
    // Runs the event loop until `done` holds or the time is up.
    template <class Done>
    bool run_until(Done done, std::chrono::steady_clock::time_point end) {
        while (!done()) {
            auto now = std::chrono::steady_clock::now();
            if (now >= end) {
                return false;
            }
            io_.restart();
            io_.run_one_for(end - now);
        }
        return true;
    }
    // Waits for more bytes into in_; false on timeout or close.
    bool read_more(std::chrono::steady_clock::time_point end);

    asio::io_context io_;
    asio::ssl::context context_{asio::ssl::context::tls_client};
    asio::ssl::stream<asio::ip::tcp::socket> stream_;
    std::array<std::uint8_t, 16384> chunk_{};
    std::vector<std::uint8_t> in_;  // received, not yet taken
    FrameReader reader_;
    bool reading_ = false;
    bool closed_ = false;
    bool cleanClose_ = false;
    std::string error_;
};

}  // namespace palaver::test

#endif
