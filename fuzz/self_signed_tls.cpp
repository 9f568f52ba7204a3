#include "fuzz/self_signed_tls.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "server/tls_context.h"

namespace palaver::fuzz {
namespace {

struct Free {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
    void operator()(X509* p) const { X509_free(p); }
    void operator()(std::FILE* p) const { std::fclose(p); }
};

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "self-signed TLS context: %s\n", what.c_str());
    std::abort();
}

std::unique_ptr<X509, Free> self_signed(EVP_PKEY* key) {
    std::unique_ptr<X509, Free> cert(X509_new());
    if (!cert) {
        return nullptr;
    }
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -86400);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 365L * 86400);
    X509_set_pubkey(cert.get(), key);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("palaver fuzz"), -1, -1, 0);
    X509_set_issuer_name(cert.get(), name);
    if (X509_sign(cert.get(), key, EVP_sha256()) == 0) {
        return nullptr;
    }
    return cert;
}

bool write_pem(const std::string& path, X509* cert, EVP_PKEY* key) {
    std::unique_ptr<std::FILE, Free> file(std::fopen(path.c_str(), "w"));
    return file && (cert == nullptr || PEM_write_X509(file.get(), cert) == 1) &&
           (key == nullptr ||
            PEM_write_PrivateKey(file.get(), key, nullptr, nullptr, 0, nullptr, nullptr) == 1);
}

}  // namespace

std::shared_ptr<asio::ssl::context> self_signed_tls_context() {
    std::unique_ptr<EVP_PKEY, Free> key(EVP_EC_gen("P-256"));
    if (!key) {
        fail("cannot make a P-256 key");
    }
    auto cert = self_signed(key.get());
    if (!cert) {
        fail("cannot sign the certificate");
    }
    // The server's context loads PEM files: they live only until it has.
    char folder[] = "/tmp/palaver-fuzz-tls-XXXXXX";
    if (::mkdtemp(folder) == nullptr) {
        fail("cannot make a temporary folder");
    }
    const std::string certFile = std::string(folder) + "/cert.pem";
    const std::string keyFile = std::string(folder) + "/key.pem";
    std::string error = "cannot write the PEM files into " + std::string(folder);
    std::shared_ptr<asio::ssl::context> context;
    if (write_pem(certFile, cert.get(), nullptr) && write_pem(keyFile, nullptr, key.get())) {
        context = server::make_tls_context(certFile, keyFile, error);
    }
    ::unlink(certFile.c_str());
    ::unlink(keyFile.c_str());
    ::rmdir(folder);
    if (!context) {
        fail(error);
    }
    return context;
}

}  // namespace palaver::fuzz
