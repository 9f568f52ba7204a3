#include "test_certs.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <stdexcept>

namespace palaver::test {
namespace {

struct Free {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
    void operator()(X509* p) const { X509_free(p); }
    void operator()(X509_EXTENSION* p) const { X509_EXTENSION_free(p); }
    void operator()(std::FILE* p) const { std::fclose(p); }
};
using Key = std::unique_ptr<EVP_PKEY, Free>;
using Cert = std::unique_ptr<X509, Free>;

Key new_key() {
    return Key(EVP_EC_gen("P-256"));
}

// The authorities sign with RSA: Wine's chain engine now and then refuses a
// certificate's ECDSA signature (TRUST_E_FAIL for one certificate of a run,
// about one run in forty), which made the Windows leg flaky.
Key new_authority_key() {
    return Key(EVP_RSA_gen(2048));
}

bool add_extension(X509* cert, X509* issuer, int nid, const char* value) {
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, issuer, cert, nullptr, nullptr, 0);
    std::unique_ptr<X509_EXTENSION, Free> ext(X509V3_EXT_conf_nid(nullptr, &context, nid, value));
    return ext && X509_add_ext(cert, ext.get(), -1) == 1;
}

// A certificate for `key`, valid from `fromDays` to `toDays` days from now,
// signed by `issuerKey` (self-signed when `issuer` is null).
Cert make_cert(EVP_PKEY* key, const char* commonName, X509* issuer, EVP_PKEY* issuerKey,
               long fromDays, long toDays, const char* altNames, long serial) {
    Cert cert(X509_new());
    if (!cert) {
        return nullptr;
    }
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), fromDays * 86400);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), toDays * 86400);
    X509_set_pubkey(cert.get(), key);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("Palaver tests"), -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(commonName), -1, -1, 0);
    X509* signer = issuer != nullptr ? issuer : cert.get();
    X509_set_issuer_name(cert.get(), X509_get_subject_name(signer));
    bool ok = true;
    if (issuer == nullptr) {
        ok = add_extension(cert.get(), signer, NID_basic_constraints, "critical,CA:TRUE") &&
             add_extension(cert.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign") &&
             add_extension(cert.get(), signer, NID_subject_key_identifier, "hash");
    } else {
        ok = add_extension(cert.get(), signer, NID_basic_constraints, "critical,CA:FALSE") &&
             add_extension(cert.get(), signer, NID_key_usage,
                           "critical,digitalSignature,keyEncipherment") &&
             add_extension(cert.get(), signer, NID_ext_key_usage, "serverAuth") &&
             add_extension(cert.get(), signer, NID_subject_alt_name, altNames) &&
             add_extension(cert.get(), signer, NID_authority_key_identifier, "keyid:always");
    }
    if (!ok || X509_sign(cert.get(), issuerKey != nullptr ? issuerKey : key, EVP_sha256()) == 0) {
        return nullptr;
    }
    return cert;
}

bool write_file(const std::string& path, X509* cert, X509* chain, EVP_PKEY* key) {
    std::unique_ptr<std::FILE, Free> file(std::fopen(path.c_str(), "w"));
    if (!file) {
        return false;
    }
    if (cert != nullptr && PEM_write_X509(file.get(), cert) != 1) {
        return false;
    }
    if (chain != nullptr && PEM_write_X509(file.get(), chain) != 1) {
        return false;
    }
    if (key != nullptr &&
        PEM_write_PrivateKey(file.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1) {
        return false;
    }
    return true;
}

}  // namespace

bool make_test_certs(const std::string& folder, TestCerts& certs, std::string& error) {
    const std::string dir = folder + "/";
    certs.ca = dir + "ca.pem";
    certs.serverCert = dir + "server.pem";
    certs.serverKey = dir + "server.key";
    certs.expiredCert = dir + "expired.pem";
    certs.expiredKey = dir + "expired.key";
    certs.otherNameCert = dir + "other-name.pem";
    certs.otherNameKey = dir + "other-name.key";
    certs.unknownCaCert = dir + "unknown-ca.pem";
    certs.unknownCaKey = dir + "unknown-ca.key";

    const char* ours = "IP:127.0.0.1,DNS:localhost";
    Key caKey = new_authority_key(), rogueKey = new_authority_key();
    Key serverKey = new_key(), expiredKey = new_key(), otherKey = new_key(), unknownKey = new_key();
    if (!caKey || !rogueKey || !serverKey || !expiredKey || !otherKey || !unknownKey) {
        error = "cannot make a key";
        return false;
    }
    Cert ca = make_cert(caKey.get(), "Palaver test CA", nullptr, nullptr, -1, 30, nullptr, 1);
    Cert rogue =
        make_cert(rogueKey.get(), "Palaver rogue CA", nullptr, nullptr, -1, 30, nullptr, 2);
    if (!ca || !rogue) {
        error = "cannot make a CA";
        return false;
    }
    Cert server = make_cert(serverKey.get(), "127.0.0.1", ca.get(), caKey.get(), -1, 30, ours, 10);
    Cert expired =
        make_cert(expiredKey.get(), "127.0.0.1", ca.get(), caKey.get(), -30, -1, ours, 11);
    Cert other = make_cert(otherKey.get(), "other.invalid", ca.get(), caKey.get(), -1, 30,
                           "DNS:other.invalid", 12);
    Cert unknown =
        make_cert(unknownKey.get(), "127.0.0.1", rogue.get(), rogueKey.get(), -1, 30, ours, 13);
    if (!server || !expired || !other || !unknown) {
        error = "cannot sign a server certificate";
        return false;
    }
    // Servers send their certificate and its CA, as a real chain would.
    bool written = write_file(certs.ca, ca.get(), nullptr, nullptr) &&
                   write_file(certs.serverCert, server.get(), ca.get(), nullptr) &&
                   write_file(certs.serverKey, nullptr, nullptr, serverKey.get()) &&
                   write_file(certs.expiredCert, expired.get(), ca.get(), nullptr) &&
                   write_file(certs.expiredKey, nullptr, nullptr, expiredKey.get()) &&
                   write_file(certs.otherNameCert, other.get(), ca.get(), nullptr) &&
                   write_file(certs.otherNameKey, nullptr, nullptr, otherKey.get()) &&
                   write_file(certs.unknownCaCert, unknown.get(), rogue.get(), nullptr) &&
                   write_file(certs.unknownCaKey, nullptr, nullptr, unknownKey.get());
    if (!written) {
        error = "cannot write the certificates into " + folder;
        return false;
    }
    return true;
}

const TestCerts& test_certs() {
    static const struct Made {
        std::string folder =
            (std::filesystem::temp_directory_path() / "palaver_tls_XXXXXX").string();
        TestCerts certs;
        Made() {
            if (::mkdtemp(folder.data()) == nullptr) {
                throw std::runtime_error("no temporary folder for the certificates");
            }
            std::string error;
            if (!make_test_certs(folder, certs, error)) {
                throw std::runtime_error("cannot make the test certificates: " + error);
            }
        }
        ~Made() {
            std::error_code ignored;
            std::filesystem::remove_all(folder, ignored);
        }
    } made;
    return made.certs;
}

}  // namespace palaver::test
