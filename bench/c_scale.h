// Scale of one process: many clients of the C interface logged in to one
// palaver-server from this process, and what they cost it.
#ifndef PALAVER_BENCH_C_SCALE_H
#define PALAVER_BENCH_C_SCALE_H

#include <cstddef>
#include <cstdint>

namespace palaver::bench {

// This process's memory in KiB and its thread count, from /proc/self/status.
struct ProcessFigures {
    long residentKiB = 0;
    long peakResidentKiB = 0;
    long threads = 0;
};
ProcessFigures this_process();

struct ScaleFigures {
    ProcessFigures before;    // before the first client
    ProcessFigures loggedIn;  // every client logged in, their notices still queued
    ProcessFigures drained;   // after each client took its notices
    double loginSeconds = 0;
    double freeSeconds = 0;  // freeing every client, each logged in
};

// `count` clients log in, in rooms of `roomSize`, and stay quiet.
ScaleFigures c_scale(std::uint16_t port, std::size_t count, std::size_t roomSize);

}  // namespace palaver::bench

#endif
