// Making and freeing clients; the version, the error texts and details.
#include <memory>
#include <new>

#include "lib/api/c_call.h"
#include "lib/connection/lifecycle.h"
#include "lib/connection/poller.h"

extern "C" {

PALAVER_C_API palaver_client* palaver_client_new(void) {
    palaver::set_error(PALAVER_OK);
    try {
        // The host owns it from here until palaver_client_free.
        return std::make_unique<palaver_client>().release();
    } catch (const std::bad_alloc&) {
        palaver::set_error(PALAVER_E_NO_MEMORY);
        return nullptr;
    }
}

PALAVER_C_API void palaver_client_free(palaver_client* client) {
    palaver::set_error(PALAVER_OK);
    if (client == nullptr) {
        return;
    }
    client->gate.close();  // no call enters from here on
    try {
        // Sends the calls still inside on their way: waits return, a login
        // gives up, a blocked send fails with the connection.
        client->state.room.events.close();
        client->state.connection.closing.store(true);
        palaver::logout(client->state);
        palaver::PollerState::leave_any(client->state);
    } catch (...) {
        // A lock that failed: the client's destructor still ends the connection.
    }
    client->gate.wait_until_empty();
    // The client's destructor ends a connection that is still open.
    std::unique_ptr<palaver_client> owned(client);
}

#define PALAVER_STRINGIFY2(x) #x
#define PALAVER_STRINGIFY(x) PALAVER_STRINGIFY2(x)

PALAVER_C_API const char* palaver_version(void) {
    return PALAVER_STRINGIFY(PALAVER_VERSION_MAJOR) "." PALAVER_STRINGIFY(
        PALAVER_VERSION_MINOR) "." PALAVER_STRINGIFY(PALAVER_VERSION_PATCH);
}

PALAVER_C_API int palaver_last_error(void) {
    return palaver::last_error_code();
}

PALAVER_C_API const char* palaver_last_error_detail(void) {
    return palaver::last_error_detail();
}

PALAVER_C_API int palaver_client_last_error(const palaver_client* client) {
    // Only reads: the client's code stays as the last real call left it.
    return client == nullptr ? PALAVER_E_INVALID : client->lastError.code();
}

PALAVER_C_API size_t palaver_client_last_error_detail(const palaver_client* client, char* buffer,
                                                      size_t capacity) {
    return client == nullptr ? 0 : client->lastError.copy_detail(buffer, capacity);
}

PALAVER_C_API const char* palaver_error_text(int code) {
    switch (code) {
        case PALAVER_OK:
            return "no error";
        case PALAVER_E_INVALID:
            return "invalid argument (a null client or pointer, or a value out of range)";
        case PALAVER_E_TOO_LONG:
            return "text, name, picture or login string too long";
        case PALAVER_E_NOT_CONNECTED:
            return "not connected";
        case PALAVER_E_RESOLVE:
            return "the server's address does not resolve";
        case PALAVER_E_NO_ADDRESS:
            return "no server address was set";
        case PALAVER_E_CONNECT:
            return "the connection to the server failed";
        case PALAVER_E_TIMEOUT:
            return "the server did not answer in time";
        case PALAVER_E_CANCELLED:
            return "the login was called off by a logout";
        case PALAVER_E_REFUSED:
            return "the server refused the login";
        case PALAVER_E_BROKEN_REPLY:
            return "the login reply broke off";
        case PALAVER_E_SEND:
            return "a send failed; the connection has ended";
        case PALAVER_E_NO_MEMORY:
            return "out of memory";
        case PALAVER_E_THREAD:
            return "the receive thread could not be started";
        case PALAVER_E_TLS_UNAVAILABLE:
            return "TLS is not available on this system (no TLS library)";
        case PALAVER_E_TLS_SETUP:
            return "TLS could not be set up (the CA file cannot be read)";
        case PALAVER_E_TLS_CERTIFICATE:
            return "the server's certificate was refused";
        case PALAVER_E_TLS_HANDSHAKE:
            return "the TLS handshake with the server failed";
        case PALAVER_E_INTERNAL:
            return "a fault inside the library";
        case PALAVER_E_BUSY:
            return "the send buffer is full; send again once the client has written";
        default:
            return "unknown error code";
    }
}

}  // extern "C"
