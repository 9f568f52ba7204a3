// One thread's loop over many host-driven clients: the library's
// palaver_poller, or the host's own epoll over their sockets with
// palaver_process for each that is ready.
#ifndef PALAVER_BENCH_DRIVEN_LOOP_H
#define PALAVER_BENCH_DRIVEN_LOOP_H

#include <cstddef>
#include <functional>
#include <memory>

#include "palaver_c.h"

namespace palaver::bench {

enum class LoopKind { Poller, Epoll };

class DrivenLoop {
  public:
    // What a turn hands the host: the client's index and its events.
    using Take = std::function<void(std::size_t, int)>;

    static std::unique_ptr<DrivenLoop> make(LoopKind kind);
    virtual ~DrivenLoop() = default;

    // A client, logged in, known to the host by `index`.
    virtual void add(palaver_client* client, std::size_t index) = 0;
    // Waits up to `timeoutMs` (0: only looks), does the work of the clients
    // whose sockets are ready or whose time is due, and calls `take` for each
    // that has something, as palaver_wait(client, 0) would report it.
    // Returns how many it called `take` for.
    virtual int turn(int timeoutMs, const Take& take) = 0;
};

}  // namespace palaver::bench

#endif
