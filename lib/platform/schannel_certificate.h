// The server certificate check of the Schannel session. Schannel is told to
// leave validation to the caller, so the library decides here, after the
// handshake, with the system's chain engine and its SSL policy.
#ifndef PALAVER_LIB_PLATFORM_SCHANNEL_CERTIFICATE_H
#define PALAVER_LIB_PLATFORM_SCHANNEL_CERTIFICATE_H

#include <wincrypt.h>
#include <windows.h>

#include <memory>
#include <string>

namespace palaver::platform {

struct CertStoreCloser {
    void operator()(HCERTSTORE store) const { CertCloseStore(store, 0); }
};
using CertStore = std::unique_ptr<void, CertStoreCloser>;

// The certificates of a PEM file, in a memory store. Null, with `error` set,
// when the file cannot be read or holds no certificate.
CertStore load_authorities(const std::string& pemFile, std::string& error);

// Checks `server` (with the chain the server sent in its store): a chain to
// an authority of `authorities` (null: the system's trust store), valid
// dates, and a name or address that matches `serverName`. False, with
// `reason` set, when the certificate is refused.
bool check_server_certificate(PCCERT_CONTEXT server, HCERTSTORE authorities,
                              const std::string& serverName, std::string& reason);

// The address of an IPv4 or IPv6 literal ("[::1]" too) in network order, its
// length in `size` (4 or 16); false for a host name.
bool parse_ip_literal(const std::string& name, unsigned char (&address)[16], std::size_t& size);

// Text in the host's code page (a server name) as Windows' wide text.
std::wstring widen(const std::string& text);

}  // namespace palaver::platform

#endif
