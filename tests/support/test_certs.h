// Throw-away certificates for the TLS tests, benchmarks and fuzzers, made at run time: a CA, a
// server certificate it signs for 127.0.0.1 and localhost, an expired one, one
// for another name, and one signed by a second CA the tests never trust.
#ifndef PALAVER_TESTS_SUPPORT_TEST_CERTS_H
#define PALAVER_TESTS_SUPPORT_TEST_CERTS_H

#include <string>

namespace palaver::test {

struct TestCerts {
    std::string ca;  // the CA to trust (PEM)
    // Certificate chains and their keys, each a PEM file.
    std::string serverCert, serverKey;        // 127.0.0.1 and localhost
    std::string expiredCert, expiredKey;      // the same names, ended yesterday
    std::string otherNameCert, otherNameKey;  // other.invalid only
    std::string unknownCaCert, unknownCaKey;  // 127.0.0.1, an untrusted CA
};

// Writes the files into `folder` (which must exist). False, with `error`
// set, when OpenSSL or the file system refused.
bool make_test_certs(const std::string& folder, TestCerts& certs, std::string& error);

// The certificates, made once per program in a temporary folder that is
// removed when the program ends. Throws when they cannot be made.
const TestCerts& test_certs();

}  // namespace palaver::test

#endif
