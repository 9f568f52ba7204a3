// What /metrics shows: counters of what the server did since it started,
// and the gauges of the moment, rendered in the Prometheus text format
// (version 0.0.4). Everything is counted on the event loop's thread, so
// nothing here is locked or atomic, and counting costs an increment.
#ifndef PALAVER_SERVER_METRICS_H
#define PALAVER_SERVER_METRICS_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "server/address_limits.h"
#include "server/close_cause.h"
#include "server/cluster_link.h"
#include "server/handlers.h"

namespace palaver::server {

class Metrics {
  public:
    void accepted(bool tls) { ++accepted_[tls ? 1 : 0]; }
    // A connection closed at once by the limits of its address.
    void refused(AddressLimits::Verdict verdict) {
        ++refusedConnections_[verdict == AddressLimits::Verdict::TooMany ? 0 : 1];
    }
    void logged_in() { ++logins_; }
    void login_refused(Refusal code);
    // A whole frame taken from a client, by its type byte.
    void received(std::uint8_t type) { ++received_[type]; }
    // A message queued for one session, by its type byte: a broadcast to N
    // sessions is N deliveries.
    void delivered(std::uint8_t type) { ++delivered_[type]; }
    // A login reply or refusal queued (a status, not a framed message).
    void delivered_login_reply() { ++loginReplies_; }
    void closed(CloseCause cause) { ++closes_[static_cast<std::size_t>(cause)]; }

    // What is read off the server's state when a monitor asks.
    struct Gauges {
        std::size_t openPlain = 0;
        std::size_t openTls = 0;
        std::size_t loggingIn = 0;
        std::size_t users = 0;
        std::size_t rooms = 0;
        std::size_t queuedBytes = 0;            // the memory charge of every queue
        std::size_t largestQueue = 0;           // the largest one session's queue holds
        const ClusterStats* cluster = nullptr;  // null when not in a cluster
    };
    // Appends the whole exposition to `out`.
    void render(const Gauges& gauges, std::string& out) const;

  private:
    std::array<std::uint64_t, 2> accepted_{};            // plain, TLS
    std::array<std::uint64_t, 2> refusedConnections_{};  // too many, too fast
    std::uint64_t logins_ = 0;
    std::array<std::uint64_t, 4> loginRefusals_{};  // by code, -2 to -5
    std::array<std::uint64_t, 256> received_{};
    std::array<std::uint64_t, 256> delivered_{};
    std::uint64_t loginReplies_ = 0;
    std::array<std::uint64_t, kCloseCauses> closes_{};
};

}  // namespace palaver::server

#endif
