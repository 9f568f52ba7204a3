#include "server/tls_context.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cerrno>
#include <cstring>
#include <fstream>

namespace palaver::server {
namespace {

bool readable(const std::string& option, const std::string& file, std::string& error) {
    std::ifstream in(file);
    if (!in) {
        error = option + " " + file + ": cannot read it: " + std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace

std::shared_ptr<asio::ssl::context> make_tls_context(const std::string& certFile,
                                                     const std::string& keyFile,
                                                     std::string& error) {
    if (!readable("--tls-cert", certFile, error) || !readable("--tls-key", keyFile, error)) {
        return nullptr;
    }
    auto context = std::make_shared<asio::ssl::context>(asio::ssl::context::tls_server);
    SSL_CTX* native = context->native_handle();
    if (SSL_CTX_set_min_proto_version(native, TLS1_2_VERSION) != 1) {
        error = "cannot require TLS 1.2 or later";
        return nullptr;
    }
    // A client may not renegotiate: nothing here needs it, and it costs the
    // server work that the client chooses.
    SSL_CTX_set_options(native, SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE);
    asio::error_code ec;
    context->use_certificate_chain_file(certFile, ec);
    if (ec) {
        error = "--tls-cert " + certFile + ": not a PEM certificate chain (" + ec.message() + ")";
        return nullptr;
    }
    context->use_private_key_file(keyFile, asio::ssl::context::pem, ec);
    if (ec && ec.category() == asio::error::get_ssl_category() &&
        ERR_GET_REASON(static_cast<unsigned long>(ec.value())) == X509_R_KEY_VALUES_MISMATCH) {
        error =
            "--tls-key " + keyFile + ": the key does not belong to the certificate in " + certFile;
        return nullptr;
    }
    if (ec) {
        error = "--tls-key " + keyFile + ": not a PEM private key (" + ec.message() + ")";
        return nullptr;
    }
    if (SSL_CTX_check_private_key(native) != 1) {
        error =
            "--tls-key " + keyFile + ": the key does not belong to the certificate in " + certFile;
        return nullptr;
    }
    return context;
}

}  // namespace palaver::server
