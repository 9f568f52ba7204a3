// How every function of the C interface runs its work: it clears the
// calling thread's last error, refuses a null client or pointer, and keeps
// every exception inside the library.
#ifndef PALAVER_LIB_API_C_CALL_H
#define PALAVER_LIB_API_C_CALL_H

#include <new>

#include "lib/client/client_state.h"
#include "lib/client/error.h"
#include "palaver_c.h"

// The handle a host holds: one client, nothing shared with another.
struct palaver_client {
    palaver::ClientState state;
};

namespace palaver::c_api {

// Runs work(state) for a non-null client when every pointer in `required` is
// non-null; otherwise, or when work throws, returns `refused`.
template <typename Work,
          typename Result = decltype(std::declval<Work>()(std::declval<palaver::ClientState&>()))>
Result call(palaver_client* client, Result refused, bool argumentsOk, Work&& work) {
    set_error(PALAVER_OK);
    if (client == nullptr || !argumentsOk) {
        set_error(PALAVER_E_INVALID);
        return refused;
    }
    try {
        Result result = work(client->state);
        if (result == refused && last_error_code() == PALAVER_OK) {
            set_error(PALAVER_E_INVALID);  // a failure always names a reason
        }
        return result;
    } catch (const std::bad_alloc&) {
        set_error(PALAVER_E_NO_MEMORY);
    } catch (...) {
        set_error(PALAVER_E_INVALID);
    }
    return refused;
}

}  // namespace palaver::c_api

#endif
