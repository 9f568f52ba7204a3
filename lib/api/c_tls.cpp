// The C interface's TLS settings: each client's choice for its next login.
#include <string>
#include "lib/platform/tls.h"

#include "lib/api/c_call.h"

using palaver::ClientState;
using palaver::TlsChoice;
using palaver::c_api::call;

extern "C" {

PALAVER_C_API int palaver_set_tls(palaver_client* client, int enable) {
    return call(client, 0, true, [&](ClientState& s) {
        std::string why;
        if (enable != 0 && !palaver::platform::tls_available(&why)) {
            palaver::set_error(PALAVER_E_TLS_UNAVAILABLE);
            palaver::set_error_detail(why.c_str());  // what the loader said
            return 0;
        }
        s.tls.change([&](TlsChoice& c) { c.enabled = enable != 0; });
        return 1;
    });
}

PALAVER_C_API int palaver_set_tls_ca_file(palaver_client* client, const char* pem_path) {
    return call(client, 0, true, [&](ClientState& s) {
        s.tls.change([&](TlsChoice& c) { c.caFile = pem_path != nullptr ? pem_path : ""; });
        return 1;
    });
}

PALAVER_C_API int palaver_set_tls_verify(palaver_client* client, int verify) {
    return call(client, 0, true, [&](ClientState& s) {
        s.tls.change([&](TlsChoice& c) { c.verify = verify != 0; });
        return 1;
    });
}

}  // extern "C"
