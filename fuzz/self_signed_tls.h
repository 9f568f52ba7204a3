// The TLS server context the server fuzzer's TLS sessions use: made by the
// server's own make_tls_context from a fresh P-256 key and a certificate
// signed by that key, so the fuzzer needs no files of its own.
#ifndef PALAVER_FUZZ_SELF_SIGNED_TLS_H
#define PALAVER_FUZZ_SELF_SIGNED_TLS_H

#include <memory>

#include <asio/ssl/context.hpp>

namespace palaver::fuzz {

// Aborts when OpenSSL or the file system refuses: the fuzzer cannot run then.
std::shared_ptr<asio::ssl::context> self_signed_tls_context();

}  // namespace palaver::fuzz

#endif
