// palaver-chat --tls against palaver-server --tls-listen: it logs in and
// talks when it trusts the server's CA, and says why when it does not.
#include <gtest/gtest.h>

#include <string>

#include "child_process.h"
#include "test_certs.h"

namespace palaver::test {
namespace {

TEST(ChatTls, TalksWithATrustedServerAndSaysWhyItRefusesAnother) {
    const TestCerts& certs = test_certs();
    ChildProcess server({PALAVER_SERVER_BIN, "--listen", "none", "--tls-listen", "127.0.0.1:0",
                         "--tls-cert", certs.serverCert, "--tls-key", certs.serverKey});
    ASSERT_TRUE(server.wait_for("listening for TLS on")) << server.transcript();
    const std::string line = server.line_with("listening for TLS on");
    const std::string address = "127.0.0.1:" + line.substr(line.rfind(':') + 1);

    ChildProcess ann({PALAVER_CHAT_BIN, "--lines", "--server", address, "--name", "ann", "--tls",
                      "--ca", certs.ca});
    ASSERT_TRUE(ann.wait_for("[status] logged in as ann#")) << ann.transcript();
    ChildProcess bob({PALAVER_CHAT_BIN, "--lines", "--server", address, "--name", "bob", "--tls",
                      "--ca", certs.ca});
    ASSERT_TRUE(bob.wait_for("[status] logged in as bob#")) << bob.transcript();
    ann.write_line("hello over tls");
    EXPECT_TRUE(bob.wait_for(": hello over tls")) << bob.transcript();
    ann.write_line("/quit");
    EXPECT_EQ(ann.wait_exit(), 0) << ann.transcript();
    EXPECT_TRUE(bob.wait_for("[notice] ann")) << bob.transcript();

    // The system's trust store does not know the test CA.
    ChildProcess eve({PALAVER_CHAT_BIN, "--lines", "--server", address, "--name", "eve", "--tls"});
    ASSERT_TRUE(eve.wait_for("login failed")) << eve.transcript();
    EXPECT_NE(eve.line_with("login failed").find("certificate was refused"), std::string::npos)
        << eve.transcript();
    EXPECT_NE(eve.wait_exit(), 0);
}

}  // namespace
}  // namespace palaver::test
