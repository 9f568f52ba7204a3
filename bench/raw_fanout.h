// Raw room clients for the fan-out benchmarks: Asio sockets that speak the
// wire protocol themselves, all driven by one event loop on the calling
// thread, with no client library in the way. The measure of what the server
// and loopback give.
#ifndef PALAVER_BENCH_RAW_FANOUT_H
#define PALAVER_BENCH_RAW_FANOUT_H

#include <asio.hpp>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "Palaver.h"

namespace palaver::bench {

// Connects, logs in and reads exactly the login reply; throws when refused.
stUserInfo raw_login(asio::ip::tcp::socket& socket, std::uint16_t port, const std::string& name,
                     std::uint32_t room);

// What a sender's window of kWindow lines is counted against.
enum class WindowRule {
    SlowestReader,  // the member that has read the fewest of its lines, itself included
    OwnEcho,        // its own echo only, as a host that reads its own connection does
};

// One room of a run: the port each of its members logs in on (several ports:
// a room spread over the nodes of a cluster).
struct RoomSeats {
    std::uint32_t room = 0;
    std::vector<std::uint16_t> ports;
};

// Raw clients in rooms, each sending `lines` lines into its room. Every line
// is checked to arrive exactly once and in order at every member of its room,
// its sender included (echoes are checked, not counted as deliveries), and
// nowhere else.
class RawFanout {
  public:
    RawFanout(std::uint16_t port, std::size_t members, std::uint64_t lines, WindowRule rule,
              std::chrono::seconds stallLimit = std::chrono::seconds(10))
        : RawFanout(std::vector<std::uint16_t>{port}, members, lines, rule, stallLimit) {}
    // One room; member i logs in on ports[i % ports.size()].
    RawFanout(const std::vector<std::uint16_t>& ports, std::size_t members, std::uint64_t lines,
              WindowRule rule, std::chrono::seconds stallLimit = std::chrono::seconds(10));
    RawFanout(const std::vector<RoomSeats>& rooms, std::uint64_t lines, WindowRule rule,
              std::chrono::seconds stallLimit = std::chrono::seconds(10));
    ~RawFanout();

    // Deliveries per second, from the first send to the last delivery. Throws
    // on a lost, repeated or reordered line and on a stall.
    double run();
    std::uint64_t delivered() const { return delivered_; }
    double seconds() const;

  private:
    struct Client;

    void fail(const std::string& what);
    void watch();
    std::uint64_t window_base(std::size_t sender) const;
    void pump();
    void read(Client& c);
    bool take(Client& c);
    std::size_t member_of(std::int32_t id) const;  // clients_.size() for a stranger

    asio::io_context io_{1};
    std::vector<std::unique_ptr<Client>> clients_;
    std::vector<std::vector<std::size_t>> rooms_;  // the clients of each room
    std::int32_t baseId_ = 0;
    bool consecutive_ = true;
    std::unordered_map<std::int32_t, std::size_t> memberOf_;
    std::uint64_t lines_;
    std::uint64_t target_;
    WindowRule rule_;
    std::chrono::seconds stallLimit_;
    std::uint64_t delivered_ = 0;
    std::uint64_t echoes_ = 0;
    std::chrono::steady_clock::time_point start_, end_;
    asio::steady_timer watchdog_;
    std::string error_;
};

}  // namespace palaver::bench

#endif
