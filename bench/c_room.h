// The room fan-out and the one-line latency through the C interface: the
// clients live in this one process, each with a host thread of its own that
// sleeps until something can be read (a threaded client in palaver_wait, a
// host-driven one in poll() on its socket, then palaver_process), then takes
// its lines with palaver_get_talk into a buffer of its own.
#ifndef PALAVER_BENCH_C_ROOM_H
#define PALAVER_BENCH_C_ROOM_H

#include <chrono>
#include <cstdint>
#include <functional>
#include <vector>

#include "c_clients.h"

namespace palaver::bench {

struct Limits {
    std::chrono::seconds stall{10};  // a run without progress this long fails
    std::function<void()> hang;      // called before exiting when hosts stay stuck
};

struct FanoutFigures {
    std::uint64_t delivered = 0;  // lines received from others, summed over the clients
    double seconds = 0;           // first send to last delivery
    double rate() const { return static_cast<double>(delivered) / seconds; }
};

// How the hosts hand their lines to the library: palaver_send_talk for each,
// or palaver_send_talks for all the window allows at once.
enum class SendMode { EachLine, Batch };

// `members` clients in one room each send `lines` lines of 40 bytes, never
// more than kWindow ahead of their own echo. Every line is checked to arrive
// exactly once and in order at every member; throws when one does not. A
// host-driven client whose send buffer is full sends the rest of its window
// on its next turn.
FanoutFigures c_room_fanout(std::uint16_t port, std::size_t members, std::uint64_t lines,
                            SendMode mode, ClientKind kind, const Limits& limits);

// Two clients take turns to send one line, `lines` in all; each sample is
// the time in microseconds from the send call to the return of the
// receiver's palaver_wait that brought the line. Sorted.
std::vector<double> c_one_line_latency(std::uint16_t port, std::size_t lines, const Limits& limits);

}  // namespace palaver::bench

#endif
