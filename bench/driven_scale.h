// Scale of one host-driven process: many host-driven clients logged in to one
// palaver-server, all driven from one thread (driven_loop.h); what
// they cost the process, how long their logins take, and how long one line
// in each room takes to reach every client.
#ifndef PALAVER_BENCH_DRIVEN_SCALE_H
#define PALAVER_BENCH_DRIVEN_SCALE_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "c_scale.h"
#include "driven_loop.h"

namespace palaver::bench {

struct DrivenScaleFigures {
    ProcessFigures before;     // before the first client
    ProcessFigures loggedIn;   // every client logged in and knowing its room
    ProcessFigures afterLine;  // every client took its room's line
    double loginSeconds = 0;   // the logins, one after the other
    double settleSeconds = 0;  // from the last login until every client knew its room
    // Each round: from the first send until the last client took its line.
    std::vector<double> lineSeconds;
    std::size_t rooms = 0;
};

// `count` clients log in one after the other with palaver_login, in rooms of
// `roomSize`, the clients already in being driven between logins. Then, in
// each of `rounds` rounds, the first member of each room sends one line, all
// at once, and the one thread drives them until every client (the senders by
// their echo) took its room's line, checked by sender and number. Throws when
// nothing moves for `stall`.
DrivenScaleFigures driven_scale(std::uint16_t port, std::size_t count, std::size_t roomSize,
                                std::size_t rounds, LoopKind loop, std::chrono::seconds stall);

}  // namespace palaver::bench

#endif
