// How every function of the C interface runs its work: it clears the
// calling thread's last error, refuses a null client or pointer and a client
// being freed, counts itself inside the client while it runs, leaves its
// error with the client too, and keeps every exception inside the library.
#ifndef PALAVER_LIB_API_C_CALL_H
#define PALAVER_LIB_API_C_CALL_H

#include <new>
#include <utility>

#include "lib/api/call_gate.h"
#include "lib/client/client_error.h"
#include "lib/client/client_state.h"
#include "lib/client/error.h"
#include "palaver_c.h"

// The handle a host holds: one client, nothing shared with another. The
// gate and the last error change under calls that take a const client.
struct palaver_client {
    palaver::ClientState state;
    mutable palaver::c_api::CallGate gate;
    mutable palaver::ClientError lastError;
};

namespace palaver::c_api {

// One call inside one client: entered on construction, and on leaving it
// hands the calling thread's error to the client before the client may go.
class CallScope {
  public:
    explicit CallScope(const palaver_client& client)
        : client_(client), entered_(client.gate.enter()) {}
    ~CallScope() {
        if (!entered_) {
            return;
        }
        try {
            client_.lastError.store(last_error_code(), last_error_detail());
        } catch (...) {
            // A lock that failed: the client's copy keeps its older value.
        }
        client_.gate.leave();
    }
    CallScope(const CallScope&) = delete;
    CallScope& operator=(const CallScope&) = delete;

    bool entered() const { return entered_; }

  private:
    const palaver_client& client_;
    bool entered_;
};

// Runs work(client->state) for a non-null client that is not being freed when
// every pointer in `required` is non-null; otherwise, or when work throws,
// returns `refused`. `Client` is palaver_client, const or not.
template <typename Client, typename Work,
          typename Result = decltype(std::declval<Work>()(std::declval<Client&>().state))>
Result call(Client* client, Result refused, bool argumentsOk, Work&& work) {
    set_error(PALAVER_OK);
    if (client == nullptr) {
        set_error(PALAVER_E_INVALID);
        return refused;
    }
    CallScope inside(*client);
    if (!inside.entered() || !argumentsOk) {
        set_error(PALAVER_E_INVALID);
        return refused;
    }
    try {
        Result result = work(client->state);
        if (result == refused && last_error_code() == PALAVER_OK) {
            set_error(PALAVER_E_INTERNAL);  // a failure always names a reason
        }
        return result;
    } catch (const std::bad_alloc&) {
        set_error(PALAVER_E_NO_MEMORY);
    } catch (...) {
        set_error(PALAVER_E_INTERNAL);
    }
    return refused;
}

}  // namespace palaver::c_api

#endif
