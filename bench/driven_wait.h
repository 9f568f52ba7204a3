// The wait of a host that drives one host-driven client from its own thread:
// poll() on the client's socket, then palaver_process.
#ifndef PALAVER_BENCH_DRIVEN_WAIT_H
#define PALAVER_BENCH_DRIVEN_WAIT_H

#include "palaver_c.h"

namespace palaver::bench {

// Waits until the client's socket is readable (or writable while the client
// has bytes to write), its next due time comes or `timeout_ms` pass, and
// returns what palaver_process returns: what palaver_wait would.
int drive_once(palaver_client* client, int timeout_ms);

}  // namespace palaver::bench

#endif
