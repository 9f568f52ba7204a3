#include "lib/platform/openssl_library.h"

#include <dlfcn.h>

#include <mutex>

namespace palaver::platform {
namespace {

struct Loaded {
    OpenSsl api{};
    bool ok = false;
    std::string why;
};

// Takes `name` from `library` into `slot`; false (and `why`) when missing.
template <typename Function>
bool take(void* library, const char* name, Function& slot, std::string& why) {
    slot = reinterpret_cast<Function>(::dlsym(library, name));
    if (slot == nullptr) {
        why = std::string("the TLS library lacks ") + name;
        return false;
    }
    return true;
}

void* open_library(const char* name, std::string& why) {
    // Kept for the life of the process: OpenSSL's own clean-up at exit
    // expects to still be there.
    void* library = ::dlopen(name, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (library == nullptr) {
        const char* error = ::dlerror();
        why = std::string("cannot load ") + name + ": " + (error != nullptr ? error : "not found");
    }
    return library;
}

#define PALAVER_TAKE(library, function) take(library, #function, a.function, why)

bool load(OpenSsl& a, std::string& why) {
    void* crypto = open_library("libcrypto.so.3", why);
    void* ssl = crypto != nullptr ? open_library("libssl.so.3", why) : nullptr;
    if (ssl == nullptr) {
        return false;
    }
    return PALAVER_TAKE(ssl, TLS_client_method) && PALAVER_TAKE(ssl, SSL_CTX_new) &&
           PALAVER_TAKE(ssl, SSL_CTX_free) && PALAVER_TAKE(ssl, SSL_CTX_ctrl) &&
           PALAVER_TAKE(ssl, SSL_CTX_set_options) && PALAVER_TAKE(ssl, SSL_CTX_set_cipher_list) &&
           PALAVER_TAKE(ssl, SSL_CTX_set_verify) &&
           PALAVER_TAKE(ssl, SSL_CTX_set_default_verify_paths) &&
           PALAVER_TAKE(ssl, SSL_CTX_load_verify_locations) && PALAVER_TAKE(ssl, SSL_new) &&
           PALAVER_TAKE(ssl, SSL_free) && PALAVER_TAKE(ssl, SSL_ctrl) &&
           PALAVER_TAKE(ssl, SSL_set_bio) && PALAVER_TAKE(ssl, SSL_set_connect_state) &&
           PALAVER_TAKE(ssl, SSL_set1_host) && PALAVER_TAKE(ssl, SSL_get0_param) &&
           PALAVER_TAKE(ssl, SSL_do_handshake) && PALAVER_TAKE(ssl, SSL_read_ex) &&
           PALAVER_TAKE(ssl, SSL_write_ex) && PALAVER_TAKE(ssl, SSL_shutdown) &&
           PALAVER_TAKE(ssl, SSL_get_error) && PALAVER_TAKE(ssl, SSL_get_verify_result) &&
           PALAVER_TAKE(crypto, BIO_s_mem) && PALAVER_TAKE(crypto, BIO_new) &&
           PALAVER_TAKE(crypto, BIO_free) && PALAVER_TAKE(crypto, BIO_read) &&
           PALAVER_TAKE(crypto, BIO_write) && PALAVER_TAKE(crypto, BIO_ctrl_pending) &&
           PALAVER_TAKE(crypto, ERR_get_error) && PALAVER_TAKE(crypto, ERR_clear_error) &&
           PALAVER_TAKE(crypto, ERR_error_string_n) &&
           PALAVER_TAKE(crypto, X509_verify_cert_error_string) &&
           PALAVER_TAKE(crypto, X509_VERIFY_PARAM_set1_ip_asc);
}

#undef PALAVER_TAKE

}  // namespace

const OpenSsl* openssl(std::string& why) {
    // Loaded on first use only, so a host that never asks for TLS never
    // touches OpenSSL; a failed load is not retried.
    static std::once_flag once;
    static Loaded loaded;
    std::call_once(once, [] { loaded.ok = load(loaded.api, loaded.why); });
    if (!loaded.ok) {
        why = loaded.why;
        return nullptr;
    }
    return &loaded.api;
}

}  // namespace palaver::platform
