// A one-connection chat server on 127.0.0.1 for the host tests: it answers
// the login with the own record and one other user, sends one Talk, then
// records what the client writes until the client closes the connection.
#ifndef PALAVER_TESTS_WINDOWS_LOOPBACK_SERVER_H
#define PALAVER_TESTS_WINDOWS_LOOPBACK_SERVER_H

#include <winsock2.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "Palaver.h"

class LoopbackServer {
  public:
    static constexpr std::int32_t kOwnId = 7;
    static constexpr std::int32_t kOtherId = 9;
    static constexpr unsigned char kKey[4] = {0x11, 0x22, 0x33, 0x44};
    // Longer than the strings the library could keep without the heap.
    static constexpr char kGreeting[] = "hello from nine, across the room";

    // What the server does once the Talk is out: keep reading, or close the
    // connection at once.
    enum class After { Listen, HangUp };

    explicit LoopbackServer(After after = After::Listen);
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    int port() const { return port_; }
    // True once the client has closed the connection in order; false when it
    // broke off or is still open after `limit`.
    bool wait_closed(std::chrono::milliseconds limit);
    // Everything the client wrote after its Login request.
    std::vector<std::uint8_t> received();

    static stUserInfo user(std::int32_t id, const char* name);

  private:
    void serve();

    After after_;
    WSADATA wsa_{};
    SOCKET listener_ = INVALID_SOCKET;
    int port_ = 0;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool ended_ = false;
    bool closed_ = false;
    std::vector<std::uint8_t> received_;
};

#endif
