// Real servers on loopback (on a thread of the test) and raw clients that
// speak the wire protocol through the library's own encoders and decoders.
#ifndef PALAVER_TESTS_SUPPORT_SERVER_HARNESS_H
#define PALAVER_TESTS_SUPPORT_SERVER_HARNESS_H

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Palaver.h"
#include "deadline.h"
#include "protocol/client_messages.h"
#include "protocol/frame_reader.h"
#include "protocol/server_messages.h"
#include "server/log.h"
#include "server/server.h"
#include "server/settings.h"

namespace palaver::test {

constexpr auto kEntered = static_cast<std::uint8_t>(ServerType::UserEntered);
constexpr auto kLeft = static_cast<std::uint8_t>(ServerType::UsersLeft);
constexpr auto kTalk = static_cast<std::uint8_t>(ServerType::Talk);
constexpr auto kUpdated = static_cast<std::uint8_t>(ServerType::UsersUpdated);
constexpr auto kRoomList = static_cast<std::uint8_t>(ServerType::RoomList);

// Port 0 and timers short enough for tests that wait on them.
server::Settings test_settings();

// A server on its own thread, stopped and joined on destruction.
class TestServer {
  public:
    explicit TestServer(server::Settings settings = test_settings());
    ~TestServer();
    std::uint16_t port() const { return port_; }
    std::uint16_t tls_port() const { return tlsPort_; }
    std::uint16_t metrics_port() const { return metricsPort_; }
    // Stops the server and returns everything it logged.
    std::string stop_and_log();

  private:
    std::ostringstream logText_;
    server::Log log_;
    std::unique_ptr<server::Server> server_;
    std::uint16_t port_ = 0;
    std::uint16_t tlsPort_ = 0;
    std::uint16_t metricsPort_ = 0;
    std::thread thread_;
};

struct Received {
    std::uint8_t type = 0;
    std::vector<std::uint8_t> payload;
    Frame frame() const { return Frame{type, payload.data(), payload.size()}; }
};

stUserInfo make_user(const std::string& name, std::uint32_t room = 1);

// The next message of `type` from a test client (RawClient, TlsClient),
// skipping the others; nothing when the time is up or the stream ends.
template <class Client>
std::optional<Received> next_message_of(Client& client, std::uint8_t type, Ms timeout) {
    auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        auto left = std::chrono::duration_cast<Ms>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return std::nullopt;
        }
        auto m = client.next(left);
        if (!m || m->type == type) {
            return m;
        }
    }
}

class RawClient {
  public:
    // Connected from `from` (an IPv4 address in host order; any of 127/8 is
    // loopback on Linux), or throws. A `receiveBuffer` (bytes) keeps the
    // kernel from holding much of what the server sends a client that does
    // not read.
    explicit RawClient(std::uint16_t port, std::uint32_t from = 0x7F000001, int receiveBuffer = 0);
    ~RawClient();
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    // False once the server has closed the connection.
    bool send(const std::uint8_t* bytes, std::size_t size);
    template <class Bytes>
    bool send(const Bytes& bytes) {
        return send(bytes.data(), bytes.size());
    }

    // Sends a login request (and `behind` at once after it) and reads the
    // whole reply; returns its status.
    int login(const stUserInfo& user, const std::string& loginString = "",
              const std::vector<std::uint8_t>& behind = {});
    int login(const std::string& name, std::uint32_t room = 1,
              const std::string& loginString = "") {
        return login(make_user(name, room), loginString);
    }

    // The 4-byte status of a login reply, read raw.
    std::optional<std::int32_t> raw_status(Ms timeout = kDeadline);

    // Talk as the logged-in user (or as someone else, to test spoofing).
    void talk(std::int32_t target, const std::string& text, bool whisper = false);
    void talk_as(std::int32_t sender, const LocationKey& key, std::int32_t target,
                 const std::string& text);

    // The next frame, or nothing when none arrives in time or the server
    // closed the connection.
    std::optional<Received> next(Ms timeout = kDeadline);
    // The next frame of `type`, skipping others; nothing on timeout.
    std::optional<Received> next_of(std::uint8_t type, Ms timeout = kDeadline);
    // True when the server closes the connection within the time (frames
    // before the close are dropped).
    bool closed_within(Ms timeout = kDeadline);
    // True when no frame arrives in the time.
    bool quiet_for(Ms timeout = 200ms);
    // Reads and drops what has arrived, without waiting; false once closed.
    bool drain();
    // Closes our end.
    void drop();
    // Vanishes with a reset instead of an orderly close.
    void reset();

    std::int32_t id() const { return self.userId; }
    LocationKey key() const { return location_key_of(self); }

    stUserInfo self{};
    std::vector<stUserInfo> others;        // the login reply's other records
    std::vector<std::uint8_t> replyBytes;  // the login reply as it came
    bool brokenStream = false;             // a frame above 500 bytes arrived

  private:
    bool wait_readable(Ms timeout);

    int fd_ = -1;
    FrameReader reader_;
};

// The talker floods the room with 300-byte lines, 64 to a write, and reads the
// echoes of each batch before it sends the next: it never leaves more than a
// batch (20 KB) untaken, so it cannot be the slow reader itself, whatever the
// schedule. Returns the first departure notice it hears; nothing when 200,000
// lines went by without one or the talker lost its connection (a failure).
std::optional<Received> flood_until_a_departure(RawClient& talker);

std::vector<std::int32_t> ids_of(const Received& usersLeft);
std::vector<stUserInfo> records_of(const Received& m);

}  // namespace palaver::test

#endif
