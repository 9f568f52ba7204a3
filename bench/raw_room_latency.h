// The one-line latency of turn_book.h with raw clients: every member's socket
// in one epoll on the calling thread, no client library. What the server and
// loopback cost a line, the floor for the library's clients.
#ifndef PALAVER_BENCH_RAW_ROOM_LATENCY_H
#define PALAVER_BENCH_RAW_ROOM_LATENCY_H

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "turn_book.h"

namespace palaver::bench {

// Logs `book.members()` raw clients in to room 42 and runs the book's lines.
// Throws when nothing arrives for `stallLimit` or a line is out of order.
void raw_room_latency(std::uint16_t port, TurnBook& book, std::chrono::seconds stallLimit);

}  // namespace palaver::bench

#endif
