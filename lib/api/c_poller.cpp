// The C interface of the poller: many clients of either kind, one wait.
#include <memory>
#include <new>

#include "lib/api/c_call.h"
#include "lib/connection/poller.h"

struct palaver_poller {
    palaver::PollerState poller;
};

namespace {

// Every poller call clears the thread's error and keeps exceptions inside.
template <typename Work>
int poller_call(palaver_poller* poller, int refused, bool argumentsOk, Work&& work) {
    palaver::set_error(PALAVER_OK);
    if (poller == nullptr || !argumentsOk) {
        palaver::set_error(PALAVER_E_INVALID);
        return refused;
    }
    try {
        return work(poller->poller);
    } catch (const std::bad_alloc&) {
        palaver::set_error(PALAVER_E_NO_MEMORY);
    } catch (...) {
        palaver::set_error(PALAVER_E_INTERNAL);
    }
    return refused;
}

}  // namespace

extern "C" {

PALAVER_C_API palaver_poller* palaver_poller_new(void) {
    palaver::set_error(PALAVER_OK);
    try {
        auto poller = std::make_unique<palaver_poller>();
        if (!poller->poller.usable()) {
            palaver::set_error(PALAVER_E_NO_MEMORY);
            return nullptr;
        }
        return poller.release();  // the host owns it until palaver_poller_free
    } catch (const std::bad_alloc&) {
        palaver::set_error(PALAVER_E_NO_MEMORY);
        return nullptr;
    }
}

PALAVER_C_API void palaver_poller_free(palaver_poller* poller) {
    palaver::set_error(PALAVER_OK);
    std::unique_ptr<palaver_poller> owned(poller);
}

PALAVER_C_API int palaver_poller_add(palaver_poller* poller, palaver_client* client) {
    return poller_call(poller, 0, client != nullptr, [client](palaver::PollerState& p) {
        palaver::c_api::CallScope inside(*client);
        if (!inside.entered()) {
            palaver::set_error(PALAVER_E_INVALID);
            return 0;
        }
        if (!p.add(client->state, client)) {
            palaver::set_error(PALAVER_E_INVALID);  // another poller's member
            return 0;
        }
        return 1;
    });
}

PALAVER_C_API int palaver_poller_remove(palaver_poller* poller, palaver_client* client) {
    return poller_call(poller, 0, client != nullptr, [client](palaver::PollerState& p) {
        palaver::c_api::CallScope inside(*client);
        if (!inside.entered() || !p.remove(client->state)) {
            palaver::set_error(PALAVER_E_INVALID);
            return 0;
        }
        return 1;
    });
}

PALAVER_C_API int palaver_poller_wait(palaver_poller* poller, palaver_ready* ready, size_t capacity,
                                      int timeout_ms) {
    return poller_call(poller, -1, ready != nullptr && capacity > 0, [&](palaver::PollerState& p) {
        std::unique_ptr<palaver::PollerState::Ready[]> found(
            new palaver::PollerState::Ready[capacity]);
        const std::size_t count = p.wait(found.get(), capacity, timeout_ms);
        for (std::size_t i = 0; i < count; ++i) {
            ready[i].client = static_cast<palaver_client*>(found[i].member);
            ready[i].events = found[i].events;
        }
        return static_cast<int>(count);
    });
}

PALAVER_C_API int palaver_poller_wakeup(palaver_poller* poller) {
    return poller_call(poller, 0, true, [](palaver::PollerState& p) {
        p.wakeup();
        return 1;
    });
}

}  // extern "C"
