// One-way latency in a room of R members with one line in flight (see
// turn_book.h): a sample runs from the send call to the moment a receiver's
// host holds the line (its take of the line returned), one sample per
// delivery. The kinds of client and of host loop measured side by side.
#ifndef PALAVER_BENCH_ROOM_LATENCY_H
#define PALAVER_BENCH_ROOM_LATENCY_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "c_room.h"

namespace palaver::bench {

enum class LatencyKind {
    Raw,            // raw clients, all on one thread with epoll: the floor
    Threaded,       // palaver_client_new, a host thread each in palaver_wait
    DrivenThreads,  // host-driven, a thread each in poll() on its socket
    DrivenPoller,   // host-driven, all on one thread in palaver_poller_wait
    DrivenEpoll,    // host-driven, all on one thread in the host's own epoll
};

const char* kind_name(LatencyKind kind);
// The kind a name from kind_name stands for; throws for any other name.
LatencyKind kind_named(const std::string& name);

struct LatencyFigures {
    std::vector<double> deliveries;  // microseconds, one per delivery, sorted
    std::vector<double> wholeRoom;   // to the last receiver, one per line, sorted
};

// `members` clients of `kind` log in to one room and send `lines` lines in
// turn. Throws on a stall or a line lost, repeated or out of order.
LatencyFigures room_latency(LatencyKind kind, std::uint16_t port, std::size_t members,
                            std::size_t lines, const Limits& limits);

}  // namespace palaver::bench

#endif
