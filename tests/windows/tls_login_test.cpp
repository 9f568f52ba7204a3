// Palaver.dll's C interface over TLS against native palaver-servers that
// tls_servers.sh starts (one per test certificate): a host logs in, hears its
// own lines and logs out; a certificate that does not prove the server is
// refused unless the host turned verification off.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

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

    // Our own lines as they come back, until `count` did or a generous time
    // passed.
    std::vector<std::string> own_lines(std::size_t count) {
        std::vector<std::string> heard;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        palaver_chat_line lines[64];
        while (heard.size() < count && std::chrono::steady_clock::now() < deadline) {
            palaver_wait(client, 500);
            std::size_t got = 0;
            palaver_get_talk(client, lines, 64, &got);
            for (std::size_t i = 0; i < got; ++i) {
                if (lines[i].sender == id) {
                    heard.emplace_back(lines[i].text, lines[i].length);
                }
            }
        }
        return heard;
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
        // Many records, several to a read and some cut by one: each line
        // comes back once and in order.
        std::vector<std::string> said;
        for (int i = 0; i < 300; ++i) {
            said.push_back(std::to_string(i) + std::string(250, 'x'));
            ASSERT_EQ(palaver_send_talk(host.client, 0, said.back().c_str(), 0), 1)
                << i << " " << palaver_last_error() << " " << palaver_last_error_detail();
        }
        EXPECT_EQ(host.own_lines(said.size()), said) << address;
        EXPECT_EQ(palaver_logout(host.client), 1);
        EXPECT_EQ(palaver_is_connected(host.client), 0);
    }
}

TEST_F(TlsLogin, RefusesCertificatesThatDoNotProveTheServerUnlessTold) {
    struct Case {
        const char* port;
        const char* address;
        const char* why;
    } cases[] = {
        {"PALAVER_TLS_PORT_OTHER_NAME", "127.0.0.1", "not for 127.0.0.1"},
        {"PALAVER_TLS_PORT_OTHER_NAME", "localhost", "not for localhost"},
        {"PALAVER_TLS_PORT_EXPIRED", "127.0.0.1", "expired"},
        {"PALAVER_TLS_PORT_UNKNOWN_CA", "127.0.0.1", "authority"},
    };
    for (const Case& c : cases) {
        Host host;
        EXPECT_EQ(host.login(c.port, c.address), 0) << c.port;
        EXPECT_EQ(host.error, PALAVER_E_TLS_CERTIFICATE) << c.port << ": " << host.detail;
        EXPECT_NE(host.detail.find(c.why), std::string::npos) << host.detail;
        EXPECT_EQ(palaver_is_connected(host.client), 0);

        ASSERT_EQ(palaver_set_tls_verify(host.client, 0), 1);
        EXPECT_EQ(host.login(c.port, c.address), 1) << c.port << ": " << host.detail;
        palaver_logout(host.client);
    }

    // The system's store does not hold the tests' CA; a CA file must be read.
    Host system;
    palaver_set_tls_ca_file(system.client, nullptr);
    EXPECT_EQ(system.login("PALAVER_TLS_PORT_SERVER"), 0);
    EXPECT_EQ(system.error, PALAVER_E_TLS_CERTIFICATE) << system.detail;
    Host unreadable;
    palaver_set_tls_ca_file(unreadable.client, (env("PALAVER_TLS_CA") + ".missing").c_str());
    EXPECT_EQ(unreadable.login("PALAVER_TLS_PORT_SERVER"), 0);
    EXPECT_EQ(unreadable.error, PALAVER_E_TLS_SETUP) << unreadable.detail;
}

}  // namespace
