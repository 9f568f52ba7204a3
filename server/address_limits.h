// What each client address may open: connections at once and new
// connections a second (a token bucket), so that no one address can take
// every slot. The table knows no sockets and takes the time from its caller.
#ifndef PALAVER_SERVER_ADDRESS_LIMITS_H
#define PALAVER_SERVER_ADDRESS_LIMITS_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "server/net.h"

namespace palaver::server {

// The address a connection is counted under: an IPv4 address (an
// IPv4-mapped IPv6 one included), or the /64 of an IPv6 address, since one
// host usually holds a whole /64. Kept as 16 bytes: IPv4 in its mapped form,
// IPv6 with its last 64 bits zero, so the two never meet.
struct AddressKey {
    std::array<std::uint8_t, 16> bytes{};

    static AddressKey of(const asio::ip::address& address);
    // "10.0.0.5", or "2001:db8:1:2::/64".
    std::string text() const;
    bool operator==(const AddressKey& other) const { return bytes == other.bytes; }
};

struct AddressKeyHash {
    std::size_t operator()(const AddressKey& key) const;
};

class AddressLimits {
  public:
    struct Config {
        std::size_t maxOpen = 0;  // connections at once; 0: no limit
        double rate = 0;          // new connections a second; 0: no limit
        std::size_t burst = 1;    // new connections at once, before the rate applies
        std::vector<AddressKey> exempt;
    };
    enum class Verdict { Admitted, TooMany, TooFast };
    struct Admission {
        Verdict verdict = Verdict::Admitted;
        // The first refusal of the address's report interval: log it now;
        // the interval's others come summed in the sweep's report.
        bool reportNow = false;
    };
    // Refusals of one address that the sweep reports, by reason.
    struct Report {
        AddressKey address;
        std::size_t tooMany = 0;
        std::size_t tooFast = 0;
    };

    static constexpr auto kReportInterval = std::chrono::seconds(10);

    explicit AddressLimits(Config config);

    // A new connection from `address`: admitted (and counted open until
    // release()) or refused, and why.
    Admission admit(const AddressKey& address, Clock::time_point now);
    // An admitted connection has closed.
    void release(const AddressKey& address);
    // Reports the addresses whose report interval is over with refusals
    // still untold, and drops the entries that hold nothing any more (no
    // open connection, a full bucket, nothing to tell): the table stays as
    // small as the addresses that are busy now. Call it about once a second.
    std::vector<Report> sweep(Clock::time_point now);

    std::size_t addresses() const { return entries_.size(); }

  private:
    struct Entry {
        std::size_t open = 0;
        double tokens = 0;
        Clock::time_point filled;  // when `tokens` was last brought up to date
        std::size_t tooMany = 0;   // refusals not reported yet
        std::size_t tooFast = 0;
        Clock::time_point quietUntil;  // refusals before this are summed, not told at once
    };
    bool limited() const { return config_.maxOpen != 0 || config_.rate > 0; }
    void refill(Entry& entry, Clock::time_point now) const;

    Config config_;
    std::unordered_set<AddressKey, AddressKeyHash> exempt_;
    std::unordered_map<AddressKey, Entry, AddressKeyHash> entries_;
};

}  // namespace palaver::server

#endif
