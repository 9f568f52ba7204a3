// How long a refused login takes beside an admitted one, on a server whose
// accounts file holds Argon2id hashes: a name the file does not hold must
// cost about what a wrong string for a real account costs, or a guesser
// learns the names from the clock. Logins go one at a time over loopback;
// the figures are medians of each kind, taken in turns.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "server/accounts.h"
#include "server_harness.h"

using namespace palaver;
using Micros = std::chrono::duration<double, std::micro>;

namespace {

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = argc > 1 ? std::atoi(argv[1]) : 30;
    auto hash = server::LoginSecret::hash("s3cret");
    if (!hash || rounds < 1) {
        std::fprintf(stderr, "usage: bench_login_timing [ROUNDS]\n");
        return 1;
    }
    std::istringstream file("boss " + *hash + " admin\nalice pw\n");
    std::string error;
    auto settings = test::test_settings();
    settings.accounts =
        std::make_shared<const server::Accounts>(*server::Accounts::parse(file, error));
    settings.loginBackoff = false;  // every wrong string is checked, none waits
    test::TestServer server(settings);

    struct Kind {
        const char* what;
        const char* name;
        const char* login;
        int status;
        std::vector<double> micros;
    };
    std::vector<Kind> kinds = {{"hashed, right string", "boss", "s3cret", 1, {}},
                               {"hashed, wrong string", "boss", "guess", -3, {}},
                               {"unknown name", "mallory", "guess", -3, {}},
                               {"plain, wrong string", "alice", "guess", -3, {}}};
    for (int round = 0; round < rounds; ++round) {
        for (Kind& kind : kinds) {
            test::RawClient client(server.port());
            auto start = std::chrono::steady_clock::now();
            int status = client.login(kind.name, 1, kind.login);
            kind.micros.push_back(Micros(std::chrono::steady_clock::now() - start).count());
            if (status != kind.status) {
                std::fprintf(stderr, "%s: status %d, not %d\n", kind.what, status, kind.status);
                return 1;
            }
        }
    }
    std::printf("%-22s %12s\n", "login", "median ms");
    for (const Kind& kind : kinds) {
        std::printf("%-22s %12.2f\n", kind.what, median(kind.micros) / 1000);
    }
    double ratio = median(kinds[2].micros) / median(kinds[1].micros);
    std::printf("unknown name / wrong string for a hashed account: %.2f\n", ratio);
    return ratio < 0.5 || ratio > 2 ? 2 : 0;
}
