// The C interface of reconnect: on or off, its back-off, and where it stands.
#include "lib/api/c_call.h"

using palaver::ClientState;
using palaver::c_api::call;

extern "C" {

PALAVER_C_API int palaver_set_reconnect(palaver_client* client, int enable) {
    return call(client, 0, enable == 0 || enable == 1, [enable](ClientState& s) {
        s.connection.reconnect.enabled.store(enable == 1);
        if (enable == 0 && s.connection.reconnect.away.load()) {
            // A try under way is the last; the break is reported for good.
            s.connection.reconnect.give_up(s.connection, s.room.events);
        }
        return 1;
    });
}

PALAVER_C_API int palaver_set_reconnect_delays(palaver_client* client, int min_delay_ms,
                                               int max_delay_ms, int jitter_percent,
                                               int max_tries) {
    const bool ok = min_delay_ms >= 0 && max_delay_ms >= min_delay_ms && jitter_percent >= 0 &&
                    jitter_percent <= 100 && max_tries >= 0;
    return call(client, 0, ok, [&](ClientState& s) {
        palaver::ReconnectDelays delays;
        delays.minMs = min_delay_ms;
        delays.maxMs = max_delay_ms;
        delays.jitterPercent = jitter_percent;
        delays.maxTries = max_tries;
        s.connection.reconnect.set_delays(delays);
        return 1;
    });
}

PALAVER_C_API int palaver_reconnect_status(const palaver_client* client, int* last_error) {
    // -1 stands for a refusal, so that 0 is not taken for a failure.
    return call(client, -1, true, [last_error](const ClientState& s) {
               if (last_error != nullptr) {
                   *last_error = s.connection.reconnect.lastError.load();
               }
               return s.connection.reconnect.away.load() ? 1 : 0;
           }) == 1;
}

}  // extern "C"
