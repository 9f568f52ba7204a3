// Palaver.dll's C interface over TLS against native palaver-servers that
// tls_servers.sh starts (one per test certificate): a host logs in, hears its
// own line and logs out; a certificate that does not prove the server is
// refused unless the host turned verification off.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>

#include "palaver_c.h"

namespace {

std::string env(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

struct Host {
    palaver_client* client = palaver_client_new();
    std::int32_t id = 0;  // given by the server at login
    int error = PALAVER_OK;
    std::string detail;  // the reason of a failed login

    Host() {
        palaver_set_tls(client, 1);
        palaver_set_tls_ca_file(client, env("PALAVER_TLS_CA").c_str());
    }
    ~Host() { palaver_client_free(client); }

    int login(const char* portVariable, const char* address = "127.0.0.1") {
        palaver_set_server(client, address, std::atoi(env(portVariable).c_str()));
        stUserInfo me{};
        std::strcpy(me.name, "wendy");
        int result = palaver_login(client, &me, "");
        error = palaver_last_error();
        detail = palaver_last_error_detail();
        id = me.userId;
        return result;
    }

    // Whether a line of ours with `text` comes back within a generous time.
    bool hears(const std::string& text) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        palaver_chat_line lines[16];
        while (std::chrono::steady_clock::now() < deadline) {
            palaver_wait(client, 500);
            std::size_t count = 0;
            palaver_get_talk(client, lines, 16, &count);
            for (std::size_t i = 0; i < count; ++i) {
                if (lines[i].sender == id && text == lines[i].text) {
                    return true;
                }
            }
        }
        return false;
    }
};

class TlsLogin : public ::testing::Test {
  protected:
    void SetUp() override {
        if (env("PALAVER_TLS_CA").empty()) {
            GTEST_SKIP() << "run through tls_servers.sh, which starts the servers";
        }
    }
};

TEST_F(TlsLogin, LogsInTalksAndLogsOutByAddressOrName) {
    for (const char* address : {"127.0.0.1", "localhost"}) {
        Host host;
        ASSERT_EQ(host.login("PALAVER_TLS_PORT_SERVER", address), 1) << address << host.detail;
        ASSERT_EQ(palaver_send_talk(host.client, 0, "over TLS", 0), 1);
        EXPECT_TRUE(host.hears("over TLS")) << address;
        EXPECT_EQ(palaver_logout(host.client), 1);
        EXPECT_EQ(palaver_is_connected(host.client), 0);
    }
}

TEST_F(TlsLogin, RefusesCertificatesThatDoNotProveTheServerUnlessTold) {
    for (const char* port : {"PALAVER_TLS_PORT_OTHER_NAME", "PALAVER_TLS_PORT_EXPIRED",
                             "PALAVER_TLS_PORT_UNKNOWN_CA"}) {
        Host host;
        EXPECT_EQ(host.login(port), 0) << port;
        EXPECT_EQ(host.error, PALAVER_E_TLS_CERTIFICATE) << port << ": " << host.detail;
        EXPECT_EQ(palaver_is_connected(host.client), 0);

        ASSERT_EQ(palaver_set_tls_verify(host.client, 0), 1);
        EXPECT_EQ(host.login(port), 1) << port << ": " << host.detail;
        palaver_logout(host.client);
    }
}

}  // namespace
