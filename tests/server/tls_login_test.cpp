// Clients of the library over TLS against a real server's TLS listener, with
// certificates made for the run: the room works as over plain TCP, every
// certificate that does not fit is refused with the reason, and a wrong port
// or a silent server fails cleanly within the login's limit.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <future>
#include <set>
#include <string>
#include <vector>

#include "Palaver.h"
#include "lib/connection/timing.h"
#include "palaver_c.h"
#include "server_harness.h"
#include "test_certs.h"

namespace palaver::test {
namespace {

server::Settings tls_server(const std::string& cert, const std::string& key) {
    server::Settings s = test_settings();
    s.tls = server::TlsSettings{"127.0.0.1", 0, cert, key};
    return s;
}

// A C-interface client that trusts the test CA.
struct Client {
    explicit Client(const std::string& caFile = test_certs().ca, bool hostDriven = false)
        : handle(hostDriven ? palaver_client_new_host_driven() : palaver_client_new()) {
        palaver_set_tls_ca_file(handle, caFile.empty() ? nullptr : caFile.c_str());
        palaver_set_tls(handle, 1);
    }
    ~Client() { palaver_client_free(handle); }

    int login(const char* address, std::uint16_t port, const std::string& name = "tina") {
        EXPECT_EQ(palaver_set_server(handle, address, port), 1);
        stUserInfo me = make_user(name);
        int result = palaver_login(handle, &me, "");
        error = palaver_last_error();
        detail = palaver_last_error_detail();
        id = me.userId;
        return result;
    }

    // The chat lines (not notices) that arrive within a generous deadline.
    std::vector<std::string> lines(std::size_t count) {
        std::vector<std::string> got;
        std::vector<palaver_chat_line> batch(64);
        eventually(
            [&] {
                std::size_t n = 0;
                palaver_wait(handle, 100);
                palaver_get_talk(handle, batch.data(), batch.size(), &n);
                for (std::size_t i = 0; i < n; ++i) {
                    if (batch[i].sender >= 0) {
                        got.emplace_back(batch[i].text, batch[i].length);
                    }
                }
                return got.size() >= count;
            },
            std::chrono::seconds(60));
        return got;
    }

    palaver_client* handle;
    int error = PALAVER_OK;
    std::string detail;
    std::int32_t id = 0;
};

class TlsLogin : public ::testing::Test {
  protected:
    void SetUp() override {
        timing().loginLimitMs = Timing::kLoginLimitMs;
        timing().receiveTimeoutMs = 200;
        timing().keepAlivePeriodMs = 100;  // KeepAlives interleave with the traffic
    }
    void TearDown() override {
        chatComunicate::Logout();
        chatComunicate::UseTls(false, nullptr);
    }
};

TEST_F(TlsLogin, TwoHostsLogInTalkAndLogOut) {
    TestServer server(tls_server(test_certs().serverCert, test_certs().serverKey));
    // The default client by address, through chatComunicate; the other by name.
    ASSERT_FALSE(chatComunicate::UseTls(true, "/nonexistent/ca.pem"));
    ASSERT_TRUE(chatComunicate::UseTls(true, test_certs().ca.c_str()));
    ASSERT_EQ(chatComunicate::SetServerIPandPort("127.0.0.1", server.tls_port()), 1);
    stUserInfo paul = make_user("paul");
    ASSERT_EQ(chatComunicate::Login(paul, ""), 1);
    Client tina;
    ASSERT_EQ(tina.login("localhost", server.tls_port()), 1) << tina.detail;

    // Enough lines for many TLS records, some of them larger than the frame
    // reader's buffer: every line arrives once and in order.
    constexpr int kLines = 1500;
    std::string text(250, 'x');
    for (int i = 0; i < kLines; ++i) {
        ASSERT_TRUE(chatComunicate::SendTalk(0, (std::to_string(i) + text).c_str(), false));
    }
    std::vector<std::string> got = tina.lines(kLines);
    ASSERT_EQ(got.size(), static_cast<std::size_t>(kLines));
    for (int i = 0; i < kLines; ++i) {
        ASSERT_EQ(got[i], std::to_string(i) + text);
    }
    ASSERT_EQ(palaver_send_talk(tina.handle, 0, "back", 0), 1);
    std::vector<stChatContent> heard;
    ASSERT_TRUE(eventually([&] {
        chatComunicate::GetTalk(heard);
        return !heard.empty() && heard.back().text == "back";
    }));

    // Her goodbye arrives before the close alert: paul sees her leave.
    palaver_logout(tina.handle);
    ASSERT_TRUE(eventually([&] {
        std::set<stUserInfo> room;
        chatComunicate::GetUserList(room);
        return room.empty();
    }));
    EXPECT_TRUE(chatComunicate::IsConnected());
}

// A host-driven client's reads and writes go through the TLS session too:
// its waits drive it, and records larger than a read arrive whole and in order.
TEST_F(TlsLogin, AHostDrivenClientTalksAndHearsOverTls) {
    TestServer server(tls_server(test_certs().serverCert, test_certs().serverKey));
    Client paul;
    ASSERT_EQ(paul.login("127.0.0.1", server.tls_port(), "paul"), 1) << paul.detail;
    Client tina(test_certs().ca, true);
    ASSERT_EQ(tina.login("localhost", server.tls_port()), 1) << tina.detail;
    constexpr int kLines = 300;
    const std::string text(250, 'x');
    for (int i = 0; i < kLines; ++i) {
        ASSERT_EQ(palaver_send_talk(paul.handle, 0, (std::to_string(i) + text).c_str(), 0), 1);
    }
    std::vector<std::string> got = tina.lines(kLines);
    ASSERT_EQ(got.size(), static_cast<std::size_t>(kLines));
    for (int i = 0; i < kLines; ++i) {
        ASSERT_EQ(got[i], std::to_string(i) + text);
    }
    ASSERT_EQ(palaver_send_talk(tina.handle, 0, "back", 0), 1);
    bool heard = false;
    ASSERT_TRUE(eventually([&] {
        tina.lines(0);  // her own loop keeps turning while paul waits
        for (const std::string& line : paul.lines(0)) {
            heard = heard || line == "back";
        }
        return heard;
    }));
}

TEST_F(TlsLogin, CertificatesThatDoNotFitAreRefusedUnlessVerificationIsOff) {
    struct Case {
        std::string cert, key, caFile, why;
    } cases[] = {
        {test_certs().otherNameCert, test_certs().otherNameKey, test_certs().ca, "mismatch"},
        {test_certs().expiredCert, test_certs().expiredKey, test_certs().ca, "expired"},
        {test_certs().unknownCaCert, test_certs().unknownCaKey, test_certs().ca, "self-signed"},
        // The system's trust store does not hold the test CA.
        {test_certs().serverCert, test_certs().serverKey, "", "self-signed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.cert + " trusting " + (c.caFile.empty() ? "the system" : c.caFile));
        TestServer server(tls_server(c.cert, c.key));
        Client client(c.caFile);
        EXPECT_EQ(client.login("127.0.0.1", server.tls_port()), 0);
        EXPECT_EQ(client.error, PALAVER_E_TLS_CERTIFICATE);
        EXPECT_NE(client.detail.find(c.why), std::string::npos) << client.detail;
        EXPECT_EQ(palaver_is_connected(client.handle), 0);

        ASSERT_EQ(palaver_set_tls_verify(client.handle, 0), 1);
        EXPECT_EQ(client.login("127.0.0.1", server.tls_port()), 1) << client.detail;
    }

    Client unreadable("/nonexistent/ca.pem");
    TestServer server(tls_server(test_certs().serverCert, test_certs().serverKey));
    EXPECT_EQ(unreadable.login("127.0.0.1", server.tls_port()), 0);
    EXPECT_EQ(unreadable.error, PALAVER_E_TLS_SETUP);
    EXPECT_NE(unreadable.detail.find("/nonexistent/ca.pem"), std::string::npos);
}

TEST_F(TlsLogin, TheWrongPortFailsCleanlyAndNeverFallsBackToPlainText) {
    TestServer server(tls_server(test_certs().serverCert, test_certs().serverKey));
    const auto start = std::chrono::steady_clock::now();
    Client tlsClient;
    EXPECT_EQ(tlsClient.login("127.0.0.1", server.port()), 0);
    EXPECT_EQ(tlsClient.error, PALAVER_E_TLS_HANDSHAKE);
    EXPECT_FALSE(tlsClient.detail.empty());

    Client plainClient;
    palaver_set_tls(plainClient.handle, 0);
    EXPECT_NE(plainClient.login("127.0.0.1", server.tls_port()), 1);
    EXPECT_EQ(palaver_is_connected(plainClient.handle), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start,
              std::chrono::milliseconds(Timing::kLoginLimitMs));
}

// Listens, but never accepts nor answers: the client's hello goes unanswered.
class SilentListener {
  public:
    SilentListener() {
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof at;
        EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&at), length), 0);
        EXPECT_EQ(::listen(fd_, 4), 0);
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&at), &length);
        port_ = ntohs(at.sin_port);
    }
    ~SilentListener() { ::close(fd_); }
    std::uint16_t port() const { return port_; }

  private:
    int fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    std::uint16_t port_ = 0;
};

TEST_F(TlsLogin, AHandshakeThatNeverEndsStopsAtTheLimitOrALogout) {
    SilentListener silent;
    timing().loginLimitMs = 1000;
    Client client;
    EXPECT_EQ(client.login("127.0.0.1", silent.port()), 0);
    EXPECT_EQ(client.error, PALAVER_E_TIMEOUT);

    // A Logout calls off the Login under way, whenever that started.
    timing().loginLimitMs = Timing::kLoginLimitMs;
    auto login =
        std::async(std::launch::async, [&] { return client.login("127.0.0.1", silent.port()); });
    EXPECT_TRUE(eventually([&] {
        palaver_logout(client.handle);
        return login.wait_for(std::chrono::milliseconds(20)) == std::future_status::ready;
    }));
    EXPECT_EQ(login.get(), 0);
    EXPECT_EQ(client.error, PALAVER_E_CANCELLED);
}

}  // namespace
}  // namespace palaver::test
