// A loopback server that misbehaves on purpose, on a thread of its own: it
// accepts clients one after another, answers each Login request with a chosen
// reply, then runs a script on the raw socket (send part of a message, stall,
// close, reset, flood until the client hangs up). Unlike the test suite's
// step-by-step fake server it serves many connections without the test
// thread, and a send to a client that has gone only ends the script.
#ifndef PALAVER_TESTS_FAULTS_FAKE_SERVER_H
#define PALAVER_TESTS_FAULTS_FAKE_SERVER_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "Palaver.h"
#include "messages.h"

namespace palaver::faults {

// The server's end of one connection. Closed when it goes out of scope.
class Peer {
  public:
    explicit Peer(int fd) : fd_(fd) {}
    ~Peer();
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    // False once the client has gone (the script then simply ends).
    bool send(const std::uint8_t* bytes, std::size_t count);
    bool send(const std::vector<std::uint8_t>& bytes) { return send(bytes.data(), bytes.size()); }
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

    FakeServer();  // listens on 127.0.0.1, any free port
    ~FakeServer();
    FakeServer(const FakeServer&) = delete;
    FakeServer& operator=(const FakeServer&) = delete;

    std::uint16_t port() const { return port_; }

    // Serves `clients` connections one after another on a thread of its own:
    // each gets the login reply for `self` and `others`, then the script.
    void serve(stUserInfo self, std::vector<stUserInfo> others, Script script,
               std::size_t clients = 1);
    // Stops accepting and waits for the script in progress to end.
    void join();
    // Connections served and closed so far.
    std::size_t finished() const { return finished_.load(); }

  private:
    int listener_ = -1;
    std::uint16_t port_ = 0;
    std::thread thread_;
    std::atomic<std::size_t> finished_{0};
};

// What the process holds now: open descriptors and threads.
std::size_t open_descriptors();
std::size_t running_threads();
// Entries of a /proc directory such as /proc/<pid>/fd.
std::size_t directory_entries(const std::string& path);

}  // namespace palaver::faults

#endif
