// The one-line latency of two raw clients on one thread: what the server and
// loopback cost a line, with no client library and no thread hand-off.
#ifndef PALAVER_BENCH_RAW_LATENCY_H
#define PALAVER_BENCH_RAW_LATENCY_H

#include <chrono>
#include <cstdint>
#include <vector>

namespace palaver::bench {

// Two raw clients take turns to send one line, `lines` in all; each sample is
// the time in microseconds from the start of the write to the end of the read
// that brought the line to the other. Sorted. Throws when a read waits longer
// than `stallLimit` or a line arrives out of order.
std::vector<double> raw_one_line_latency(std::uint16_t port, std::size_t lines,
                                         std::chrono::seconds stallLimit);

}  // namespace palaver::bench

#endif
