// The server's TLS credentials: an OpenSSL context made from a PEM
// certificate chain and its PEM private key, TLS 1.2 at least.
#ifndef PALAVER_SERVER_TLS_CONTEXT_H
#define PALAVER_SERVER_TLS_CONTEXT_H

#include <memory>
#include <string>

#include <asio/ssl/context.hpp>

namespace palaver::server {

// Nothing, with `error` saying which file and why, when the files cannot be
// read, are not PEM, or the key does not belong to the certificate.
std::shared_ptr<asio::ssl::context> make_tls_context(const std::string& certFile,
                                                     const std::string& keyFile,
                                                     std::string& error);

}  // namespace palaver::server

#endif
