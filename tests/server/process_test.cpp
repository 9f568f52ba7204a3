// The palaver-server program itself: it prints its port and stops cleanly
// on SIGTERM.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "harness.h"
#include "tls_client.h"

namespace palaver::test {
namespace {

// palaver-server started with `arguments`, its standard output piped here.
struct ServerChild {
    pid_t pid = -1;
    FILE* out = nullptr;

    explicit ServerChild(std::vector<std::string> arguments) {
        int pipeEnds[2];
        if (::pipe(pipeEnds) != 0) {
            return;
        }
        std::vector<char*> argv;
        for (auto& a : arguments) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        pid = ::fork();
        if (pid == 0) {
            ::dup2(pipeEnds[1], STDOUT_FILENO);
            ::close(pipeEnds[0]);
            ::execv(PALAVER_SERVER_BINARY, argv.data());
            ::_exit(127);
        }
        ::close(pipeEnds[1]);
        out = ::fdopen(pipeEnds[0], "r");
    }
    ~ServerChild() {
        if (out != nullptr) {
            std::fclose(out);
        }
    }
    // The first line it prints: the port it listens on.
    std::string first_line() {
        char line[200] = {};
        return out != nullptr && std::fgets(line, sizeof line, out) != nullptr ? line : "";
    }
    // SIGTERM, then whether it ended by itself with status 0.
    bool stops_cleanly() {
        ::kill(pid, SIGTERM);
        int status = 0;
        return ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
};

std::uint16_t port_in(const std::string& line) {
    return static_cast<std::uint16_t>(std::stoi(line.substr(line.rfind(':') + 1)));
}

TEST(ServerProcess, PrintsItsPortAndStopsOnSigterm) {
    ServerChild server({"palaver-server", "--listen", "127.0.0.1:0", "--log-level", "error"});
    std::string line = server.first_line();
    ASSERT_EQ(line.rfind("palaver-server listening on 127.0.0.1:", 0), 0u) << line;

    RawClient client(port_in(line));
    EXPECT_EQ(client.login("alice"), 1);
    EXPECT_TRUE(server.stops_cleanly());
    EXPECT_TRUE(client.closed_within());
}

TEST(ServerProcess, PrintsItsTlsPortWithListenNone) {
    const auto& certs = test_certs();
    ServerChild server({"palaver-server", "--listen", "none", "--tls-listen", "127.0.0.1:0",
                        "--tls-cert", certs.serverCert, "--tls-key", certs.serverKey, "--log-level",
                        "error"});
    std::string line = server.first_line();
    ASSERT_EQ(line.rfind("palaver-server listening for TLS on 127.0.0.1:", 0), 0u) << line;

    TlsClient client(port_in(line));
    ASSERT_TRUE(client.handshake()) << client.error();
    EXPECT_EQ(client.login("alice"), 1);
    EXPECT_TRUE(server.stops_cleanly());
    EXPECT_TRUE(client.closed_within());
}

}  // namespace
}  // namespace palaver::test
