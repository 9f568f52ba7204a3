// The palaver-server program itself: it prints its port and stops cleanly
// on SIGTERM.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "harness.h"
#include "tls_client.h"

namespace palaver::test {
namespace {

TEST(ServerProcess, PrintsItsPortAndStopsOnSigterm) {
    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        ::close(out[0]);
        ::execl(PALAVER_SERVER_BINARY, "palaver-server", "--listen", "127.0.0.1:0", "--log-level",
                "error", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(out[1]);
    FILE* lines = ::fdopen(out[0], "r");
    char line[200] = {};
    ASSERT_NE(std::fgets(line, sizeof line, lines), nullptr);
    std::string text(line);
    auto colon = text.rfind(':');
    ASSERT_NE(colon, std::string::npos) << text;
    auto port = static_cast<std::uint16_t>(std::stoi(text.substr(colon + 1)));

    RawClient client(port);
    EXPECT_EQ(client.login("alice"), 1);
    ::kill(pid, SIGTERM);
    EXPECT_TRUE(client.closed_within());
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    std::fclose(lines);
}

TEST(ServerProcess, PrintsItsTlsPortWithListenNone) {
    const auto& certs = test_certs();
    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        ::close(out[0]);
        ::execl(PALAVER_SERVER_BINARY, "palaver-server", "--listen", "none", "--tls-listen",
                "127.0.0.1:0", "--tls-cert", certs.serverCert.c_str(), "--tls-key",
                certs.serverKey.c_str(), "--log-level", "error", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(out[1]);
    FILE* lines = ::fdopen(out[0], "r");
    char line[200] = {};
    ASSERT_NE(std::fgets(line, sizeof line, lines), nullptr);
    std::string text(line);
    EXPECT_EQ(text.rfind("palaver-server listening for TLS on 127.0.0.1:", 0), 0u) << text;
    auto port = static_cast<std::uint16_t>(std::stoi(text.substr(text.rfind(':') + 1)));

    TlsClient client(port);
    ASSERT_TRUE(client.handshake()) << client.error();
    EXPECT_EQ(client.login("alice"), 1);
    ::kill(pid, SIGTERM);
    EXPECT_TRUE(client.closed_within());
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    std::fclose(lines);
}

}  // namespace
}  // namespace palaver::test
