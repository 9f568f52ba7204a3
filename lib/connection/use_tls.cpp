#include <cstdio>
#include <new>

#include "lib/connection/lifecycle.h"
#include "lib/platform/tls.h"

namespace palaver {

bool use_tls(ClientState& state, bool enable, const char* caFile) {
    if (!enable) {
        state.tls.change([](TlsChoice& c) { c.enabled = false; });
        return true;
    }
    if (!platform::tls_available()) {
        return false;
    }
    if (caFile != nullptr) {
        // Refused now rather than at every Login after it.
        std::FILE* file = std::fopen(caFile, "rb");
        if (file == nullptr) {
            return false;
        }
        std::fclose(file);
    }
    try {
        state.tls.change([caFile](TlsChoice& c) {
            c.caFile = caFile != nullptr ? caFile : "";
            c.enabled = true;
            c.verify = true;
        });
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

}  // namespace palaver
