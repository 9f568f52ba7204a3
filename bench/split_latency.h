// The one-line latency split into the library's two sides: one raw client
// and one client of the C interface, both driven from this one thread, take
// turns to send. Raw to library adds the library's receive side (its receive
// thread, the hand-off to the waiting host) to the raw figure; library to raw
// adds its send side.
#ifndef PALAVER_BENCH_SPLIT_LATENCY_H
#define PALAVER_BENCH_SPLIT_LATENCY_H

#include <chrono>
#include <cstdint>
#include <vector>

namespace palaver::bench {

struct SplitLatency {
    std::vector<double> rawToLibrary;  // write to the return of palaver_wait, microseconds
    std::vector<double> libraryToRaw;  // palaver_send_talk to the end of the raw read
};

// `lines` lines each way; samples sorted. Throws on a stall or a line out of
// order.
SplitLatency split_one_line_latency(std::uint16_t port, std::size_t lines,
                                    std::chrono::seconds stallLimit);

}  // namespace palaver::bench

#endif
