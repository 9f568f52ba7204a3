// OpenSSL, loaded the first time a client asks for TLS rather than linked:
// libssl is not on every system, and a host that never uses TLS must load
// and run without it. Only the functions the TLS session calls are taken.
#ifndef PALAVER_LIB_PLATFORM_OPENSSL_LIBRARY_H
#define PALAVER_LIB_PLATFORM_OPENSSL_LIBRARY_H

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <string>

namespace palaver::platform {

// Pointers with the exact types of OpenSSL's declarations. Macros such as
// SSL_set_tlsext_host_name are calls of the *_ctrl functions below.
struct OpenSsl {
    decltype(&::TLS_client_method) TLS_client_method;
    decltype(&::SSL_CTX_new) SSL_CTX_new;
    decltype(&::SSL_CTX_free) SSL_CTX_free;
    decltype(&::SSL_CTX_ctrl) SSL_CTX_ctrl;
    decltype(&::SSL_CTX_set_options) SSL_CTX_set_options;
    decltype(&::SSL_CTX_set_cipher_list) SSL_CTX_set_cipher_list;
    decltype(&::SSL_CTX_set_verify) SSL_CTX_set_verify;
    decltype(&::SSL_CTX_set_default_verify_paths) SSL_CTX_set_default_verify_paths;
    decltype(&::SSL_CTX_load_verify_locations) SSL_CTX_load_verify_locations;
    decltype(&::SSL_new) SSL_new;
    decltype(&::SSL_free) SSL_free;
    decltype(&::SSL_ctrl) SSL_ctrl;
    decltype(&::SSL_set_bio) SSL_set_bio;
    decltype(&::SSL_set_connect_state) SSL_set_connect_state;
    decltype(&::SSL_set1_host) SSL_set1_host;
    decltype(&::SSL_get0_param) SSL_get0_param;
    decltype(&::SSL_do_handshake) SSL_do_handshake;
    decltype(&::SSL_read_ex) SSL_read_ex;
    decltype(&::SSL_write_ex) SSL_write_ex;
    decltype(&::SSL_shutdown) SSL_shutdown;
    decltype(&::SSL_get_error) SSL_get_error;
    decltype(&::SSL_get_verify_result) SSL_get_verify_result;

    decltype(&::BIO_s_mem) BIO_s_mem;
    decltype(&::BIO_new) BIO_new;
    decltype(&::BIO_free) BIO_free;
    decltype(&::BIO_read) BIO_read;
    decltype(&::BIO_write) BIO_write;
    decltype(&::BIO_ctrl_pending) BIO_ctrl_pending;
    decltype(&::ERR_get_error) ERR_get_error;
    decltype(&::ERR_clear_error) ERR_clear_error;
    decltype(&::ERR_error_string_n) ERR_error_string_n;
    decltype(&::X509_verify_cert_error_string) X509_verify_cert_error_string;
    decltype(&::X509_VERIFY_PARAM_set1_ip_asc) X509_VERIFY_PARAM_set1_ip_asc;
};

// OpenSSL 3 (libssl.so.3 and libcrypto.so.3), loaded once for the process
// and never unloaded; null when it is missing or lacks a function, with
// `why` set. Safe to call from any thread.
const OpenSsl* openssl(std::string& why);

}  // namespace palaver::platform

#endif
