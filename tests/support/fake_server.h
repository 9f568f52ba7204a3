// A scripted server on 127.0.0.1 and an ephemeral port, one client connection
// at a time. Each step is a call: accept, expect exact bytes, send them whole,
// in separate TCP segments or one byte at a time, stall, close or reset. Every
// wait has a deadline, so a script against a library that misbehaves fails
// instead of hanging.
//
// For faults that need many connections without the test thread, serve()
// runs a script on each of a number of clients, one after another, on a
// thread of its own; there a send to a client that has gone only ends the
// script.
#ifndef PALAVER_TESTS_SUPPORT_FAKE_SERVER_H
#define PALAVER_TESTS_SUPPORT_FAKE_SERVER_H

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <thread>
#include <vector>

#include "bytes.h"
#include "deadline.h"

namespace palaver::test {

// The server's end of one connection served by a script. Closed when it goes
// out of scope.
class Peer {
  public:
    explicit Peer(int fd) : fd_(fd) {}
    ~Peer();
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    // False once the client has gone (the script then simply ends).
    bool send(const std::uint8_t* bytes, std::size_t count);
    bool send(const Bytes& bytes) { return send(bytes.data(), bytes.size()); }
    // Reads exactly `count` bytes; false when the connection ends first.
    bool receive(std::uint8_t* bytes, std::size_t count);
    // Reads and drops whatever the client sends until it closes or `ms` pass.
    void drain_until_closed(int ms);
    // Ends the connection with a reset instead of an orderly close.
    void reset();
    void close();

  private:
    int fd_;
};

class FakeServer {
  public:
    using Script = std::function<void(Peer&)>;

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

    // Serves `clients` connections one after another on a thread of its own,
    // each with `script` (POSIX only: it wakes a waiting accept by shutting
    // the listener down).
    void serve(Script script, std::size_t clients = 1);
    // Stops accepting and waits for the script in progress to end.
    void join();
    // Connections served and closed so far.
    std::size_t finished() const { return finished_.load(); }

  private:
    void send_all(const std::uint8_t* bytes, std::size_t count);

    int listen_ = -1;
    int conn_ = -1;
    std::uint16_t port_ = 0;
    std::thread thread_;
    std::atomic<std::size_t> finished_{0};
};

}  // namespace palaver::test

#endif
