// The C interface's queries and its wait: copies into the caller's buffers,
// never a container of the library's.
#include <chrono>
#include <cstring>
#include <mutex>

#include "lib/api/c_call.h"
#include "lib/client/queries.h"
#include "lib/connection/host_driven.h"

using palaver::ClientState;
using palaver::c_api::call;

namespace {

// Queries return how many more wait, or -1 when refused.
int more(std::size_t waiting) {
    return waiting > 0x7fffffff ? 0x7fffffff : static_cast<int>(waiting);
}

}  // namespace

extern "C" {

PALAVER_C_API int palaver_get_users(palaver_client* client, stUserInfo* users, size_t capacity,
                                    size_t* written) {
    return call(client, -1, (users != nullptr || capacity == 0) && written != nullptr,
                [&](ClientState& s) {
                    const int left = more(palaver::copy_users(s.room, users, capacity, *written));
                    s.room.events.changed();  // a level descriptor may go quiet
                    return left;
                });
}

PALAVER_C_API int palaver_get_talk(palaver_client* client, palaver_chat_line* lines,
                                   size_t capacity, size_t* written) {
    return call(client, -1, (lines != nullptr || capacity == 0) && written != nullptr,
                [&](ClientState& s) {
                    const int left = more(palaver::take_talk(s.room, lines, capacity, *written));
                    s.room.events.changed();
                    return left;
                });
}

PALAVER_C_API int palaver_get_actions(palaver_client* client, stActionContent* actions,
                                      size_t capacity, size_t* written) {
    return call(client, -1, (actions != nullptr || capacity == 0) && written != nullptr,
                [&](ClientState& s) {
                    const int left =
                        more(palaver::take_actions(s.room, actions, capacity, *written));
                    s.room.events.changed();
                    return left;
                });
}

PALAVER_C_API int palaver_copy_self(palaver_client* client, stUserInfo* self) {
    return call(client, 0, self != nullptr, [&](ClientState& s) {
        // Login writes the whole record before the receive thread runs; after
        // that only the name changes, under this lock.
        std::lock_guard<std::mutex> hold(s.room.selfNameLock);
        std::memcpy(self, &s.room.self, sizeof *self);
        return 1;
    });
}

PALAVER_C_API const stUserInfo* palaver_self(palaver_client* client) {
    const stUserInfo* refused = nullptr;
    return call(client, refused, true, [](ClientState& s) { return &s.room.self; });
}

PALAVER_C_API int palaver_wait(palaver_client* client, int timeout_ms) {
    return call(client, -1, true, [&](ClientState& s) {
        if (s.connection.driven != nullptr) {
            return palaver::wait_driven(s, timeout_ms, PALAVER_EVENT_WAKEUP);
        }
        palaver::RoomState& room = s.room;
        return room.events.wait([&room] { return palaver::pending_events(room); },
                                std::chrono::milliseconds(timeout_ms), PALAVER_EVENT_WAKEUP);
    });
}

PALAVER_C_API int palaver_wakeup(palaver_client* client) {
    return call(client, 0, true, [](ClientState& s) {
        s.room.events.wake_one();
        return 1;
    });
}

}  // extern "C"
