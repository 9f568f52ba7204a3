// Writes the TLS tests' throw-away certificates into a folder, for tests
// that run outside this build's own processes (the Windows leg under Wine).
#include <cstdio>
#include <string>

#include "test_certs.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_test_certs FOLDER\n");
        return 2;
    }
    palaver::test::TestCerts certs;
    std::string error;
    if (!palaver::test::make_test_certs(argv[1], certs, error)) {
        std::fprintf(stderr, "make_test_certs: %s\n", error.c_str());
        return 1;
    }
    return 0;
}
