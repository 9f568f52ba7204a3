// The C interface's limits: how long a send may wait, and how much of the
// room's talk a client keeps for a host that has not taken it.
#include <mutex>

#include "lib/api/c_call.h"

using palaver::ClientState;
using palaver::c_api::call;

extern "C" {

PALAVER_C_API int palaver_set_send_limit(palaver_client* client, int limit_ms) {
    return call(client, 0, limit_ms >= 1, [&](ClientState& s) {
        s.connection.sendLimitMs.store(limit_ms, std::memory_order_relaxed);
        return 1;
    });
}

PALAVER_C_API int palaver_set_talk_limit(palaver_client* client, size_t max_lines,
                                         size_t max_bytes) {
    return call(client, 0, max_lines != 0 && max_bytes != 0, [&](ClientState& s) {
        std::lock_guard<std::mutex> hold(s.room.queueLock);
        s.room.talk.set_limit(max_lines, max_bytes);
        return 1;
    });
}

PALAVER_C_API uint64_t palaver_dropped_talk(const palaver_client* client) {
    palaver::set_error(client == nullptr ? PALAVER_E_INVALID : PALAVER_OK);
    return client != nullptr ? client->state.room.talk.dropped() : 0;
}

}  // extern "C"
