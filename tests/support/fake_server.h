// A scripted server on 127.0.0.1 and an ephemeral port, one client connection
// at a time. Each step is a call: accept, expect exact bytes, send them whole,
// in separate TCP segments or one byte at a time, stall, close or reset. Every
// wait has a deadline, so a script against a library that misbehaves fails
// instead of hanging.
#ifndef PALAVER_TESTS_SUPPORT_FAKE_SERVER_H
#define PALAVER_TESTS_SUPPORT_FAKE_SERVER_H

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

#include "bytes.h"

namespace palaver::test {

using namespace std::chrono_literals;
using Ms = std::chrono::milliseconds;

constexpr Ms kDeadline = 5s;  // for things that happen at once unless broken

class FakeServer {
  public:
    FakeServer();  // listening, nothing accepted yet
    ~FakeServer();
    FakeServer(const FakeServer&) = delete;
    FakeServer& operator=(const FakeServer&) = delete;

    std::uint16_t port() const { return port_; }

    // The receive buffer of connections accepted from now on; a small one
    // makes a client's sends block and come apart sooner.
    void set_receive_buffer(int bytes);

    // Waits for the next client; an earlier connection is closed first.
    bool accept(Ms timeout = kDeadline);
    bool connected() const { return conn_ >= 0; }

    // Reads exactly `count` bytes; nothing when they do not all arrive in time
    // or the client closes first.
    std::optional<Bytes> read(std::size_t count, Ms timeout = kDeadline);
    // Reads as many bytes as `expected` holds and compares them.
    ::testing::AssertionResult expect(const Bytes& expected, Ms timeout = kDeadline);
    // The client ended the connection (FIN or reset) and sent nothing more.
    ::testing::AssertionResult expect_closed(Ms timeout = kDeadline);

    void send(const Bytes& bytes);
    // Sends bytes [0, cuts[0]), [cuts[0], cuts[1]), ... with Nagle off and a
    // pause between the pieces, so they leave as separate segments.
    void send_split(const Bytes& bytes, const std::vector<std::size_t>& cuts, Ms gap = 20ms);
    // One byte per segment.
    void drip(const Bytes& bytes, Ms gap = 1ms);
    // Does nothing for a while: the script's way of saying "the server is slow".
    void stall(Ms duration);
    // Orderly close (FIN).
    void close();
    // Abortive close: SO_LINGER 0 makes the kernel send a reset.
    void reset();

  private:
    void send_all(const std::uint8_t* bytes, std::size_t count);

    int listen_ = -1;
    int conn_ = -1;
    std::uint16_t port_ = 0;
};

}  // namespace palaver::test

#endif
