// The C interface's connection and requests: the same routines as the
// chatComunicate functions, on the caller's client.
#include <cstdint>

#include "lib/api/c_call.h"
#include "lib/client/commands.h"
#include "lib/connection/lifecycle.h"

using palaver::ClientState;
using palaver::c_api::call;

extern "C" {

PALAVER_C_API int palaver_set_server(palaver_client* client, const char* address, int port) {
    return call(client, 0, address != nullptr,
                [&](ClientState& s) { return palaver::set_server_any(s, address, port); });
}

PALAVER_C_API int palaver_login(palaver_client* client, stUserInfo* user, const char* login) {
    return call(client, 0, user != nullptr && login != nullptr,
                [&](ClientState& s) { return palaver::login(s, *user, login); });
}

PALAVER_C_API int palaver_login_with_status(palaver_client* client, stUserInfo* user,
                                            const char* login, int32_t* server_status) {
    std::int32_t status = 0;
    int loggedIn = call(client, 0, user != nullptr && login != nullptr, [&](ClientState& s) {
        return palaver::login(s, *user, login, &status) == 1 ? 1 : 0;
    });
    if (server_status != nullptr) {
        *server_status = status;
    }
    // A failure always names its reason in the thread's last error.
    return loggedIn == 1 ? PALAVER_OK : palaver::last_error_code();
}

PALAVER_C_API int palaver_logout(palaver_client* client) {
    return call(client, 0, true, [](ClientState& s) {
        palaver::logout(s);
        s.room.events.wake_all();  // a waiting thread learns of it at once
        return 1;
    });
}

PALAVER_C_API int palaver_is_connected(const palaver_client* client) {
    const int connected = call(client, -1, true, [](const ClientState& s) {
        return s.connection.connected.load() ? 1 : 0;
    });
    return connected == 1 ? 1 : 0;  // -1 only for a refused call
}

PALAVER_C_API int palaver_send_talk(palaver_client* client, int32_t target, const char* text,
                                    int whisper) {
    return call(client, 0, text != nullptr, [&](ClientState& s) {
        return palaver::send_talk(s, target, text, whisper != 0) ? 1 : 0;
    });
}

PALAVER_C_API int palaver_send_talks(palaver_client* client, int32_t target,
                                     const char* const* texts, size_t count, int whisper) {
    return call(client, 0, true, [&](ClientState& s) {
        return palaver::send_talks(s, target, texts, count, whisper != 0) ? 1 : 0;
    });
}

PALAVER_C_API int palaver_do_action(palaver_client* client, int32_t target, unsigned char action) {
    return call(client, 0, true,
                [&](ClientState& s) { return palaver::do_action(s, target, action) ? 1 : 0; });
}

PALAVER_C_API int palaver_walk(palaver_client* client, double x, double y, double z, float fourth) {
    return call(client, 0, true,
                [&](ClientState& s) { return palaver::walk_to(s, x, y, z, fourth) ? 1 : 0; });
}

PALAVER_C_API int palaver_change_name(palaver_client* client, const char* name) {
    return call(client, 0, name != nullptr,
                [&](ClientState& s) { return palaver::change_name(s, name) ? 1 : 0; });
}

PALAVER_C_API int palaver_change_model(palaver_client* client, int32_t model) {
    return call(client, 0, true,
                [&](ClientState& s) { return palaver::change_model(s, model) ? 1 : 0; });
}

PALAVER_C_API int palaver_change_picture(palaver_client* client, const char* picture) {
    return call(client, 0, picture != nullptr,
                [&](ClientState& s) { return palaver::change_picture(s, picture) ? 1 : 0; });
}

PALAVER_C_API int palaver_kick(palaver_client* client, int32_t user_id, int32_t ban_minutes) {
    return call(client, 0, true, [&](ClientState& s) {
        return palaver::kick_person(s, user_id, ban_minutes) ? 1 : 0;
    });
}

PALAVER_C_API int palaver_request_room_list(palaver_client* client) {
    return call(client, 0, true,
                [](ClientState& s) { return palaver::request_room_list(s) ? 1 : 0; });
}

}  // extern "C"
