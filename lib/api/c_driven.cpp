// The C interface of host-driven clients and of the event descriptor: the
// socket and the timer a host's loop waits on, and the call that does the
// work.
#include <climits>
#include <memory>
#include <new>

#include "lib/api/c_call.h"
#include "lib/client/queries.h"
#include "lib/connection/host_driven.h"

using palaver::ClientState;
using palaver::c_api::call;

extern "C" {

PALAVER_C_API palaver_client* palaver_client_new_host_driven(void) {
    palaver::set_error(PALAVER_OK);
    try {
        auto client = std::make_unique<palaver_client>();
        client->state.connection.driven = std::make_unique<palaver::DrivenState>();
        return client.release();  // the host owns it until palaver_client_free
    } catch (const std::bad_alloc&) {
        palaver::set_error(PALAVER_E_NO_MEMORY);
        return nullptr;
    }
}

PALAVER_C_API int palaver_is_host_driven(const palaver_client* client) {
    // -1 stands for a refusal, so that 0 is not taken for a failure.
    return call(client, -1, true,
                [](const ClientState& s) { return s.connection.driven != nullptr ? 1 : 0; }) == 1;
}

PALAVER_C_API palaver_socket palaver_socket_of(palaver_client* client) {
    constexpr palaver_socket none = PALAVER_NO_SOCKET;
    return call(client, none, true, [](ClientState& s) {
        // A broken connection's socket stays open until the next login or
        // logout, but there is nothing to wait for on it.
        const auto socket = s.connection.socket.load();
        if (socket == palaver::platform::kNoSocket || !s.connection.connected.load()) {
            palaver::set_error(PALAVER_E_NOT_CONNECTED);
            return none;
        }
        return static_cast<palaver_socket>(socket);
    });
}

PALAVER_C_API int palaver_want_write(palaver_client* client) {
    return call(client, -1, true,
                [](ClientState& s) { return palaver::want_write(s.connection) ? 1 : 0; }) == 1;
}

PALAVER_C_API int palaver_process(palaver_client* client) {
    return call(client, -1, true, [](ClientState& s) {
        if (s.connection.driven != nullptr) {
            palaver::process(s);
        }
        palaver::RoomState& room = s.room;
        return room.events.wait([&room] { return palaver::pending_events(room); },
                                std::chrono::milliseconds(0), PALAVER_EVENT_WAKEUP);
    });
}

PALAVER_C_API int palaver_next_timeout(palaver_client* client) {
    // INT_MIN stands for a refusal, so that -1 (nothing due) is not taken
    // for a failure; a refused call gives -1 too, with the last error set.
    const int next = call(client, INT_MIN, true, [](ClientState& s) {
        return s.connection.driven != nullptr ? palaver::next_timeout_ms(s) : -1;
    });
    return next == INT_MIN ? -1 : next;
}

PALAVER_C_API int palaver_set_send_buffer(palaver_client* client, size_t max_bytes) {
    return call(client, 0, max_bytes >= 1, [max_bytes](ClientState& s) {
        if (s.connection.driven != nullptr) {
            s.connection.driven->out.limit.store(max_bytes);
        }
        return 1;
    });
}

PALAVER_C_API int palaver_set_send_batching(palaver_client* client, int enable) {
    return call(client, 0, enable == 0 || enable == 1, [enable](ClientState& s) {
        if (s.connection.driven == nullptr) {
            palaver::set_error(PALAVER_E_INVALID);  // a threaded client writes at once
            return 0;
        }
        s.connection.driven->batching.store(enable == 1);
        return 1;
    });
}

PALAVER_C_API palaver_event palaver_event_of(palaver_client* client) {
    constexpr palaver_event none = PALAVER_NO_EVENT;
    return call(client, none, true, [](ClientState& s) {
        palaver::platform::EventSignal* signal = s.watch.signal();
        if (signal == nullptr) {
            palaver::set_error(PALAVER_E_NO_MEMORY);
            return none;
        }
        return static_cast<palaver_event>(signal->native());
    });
}

}  // extern "C"
