// The Schannel session against OpenSSL servers that tls_servers.sh starts
// (each reversing the lines it gets): the handshake, records both ways, a
// damaged record, and the versions and suites the session refuses. The
// certificates' checks are tested through Palaver.dll (tls_login_test.cpp).
#include <winsock2.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "lib/platform/tls.h"

namespace {

using palaver::platform::TlsFailure;
using palaver::platform::TlsOptions;
using palaver::platform::TlsSession;

std::string env(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

// A TLS client over a blocking socket with a generous receive time-out.
class Client {
  public:
    explicit Client(const char* portVariable, TlsOptions options)
        : session_(palaver::platform::open_tls_session(options)) {
        int port = std::atoi(env(portVariable).c_str());
        socket_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        DWORD timeout = 30000;
        ::setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout),
                     sizeof timeout);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<u_short>(port));
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = ::connect(socket_, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
    }
    ~Client() { ::closesocket(socket_); }

    TlsSession& session() { return *session_; }

    TlsSession::Step handshake() {
        if (!connected_) {
            return TlsSession::Step::Failed;
        }
        for (;;) {
            TlsSession::Step step = session_->handshake();
            if (!flush() || step != TlsSession::Step::Continue) {
                return step;
            }
            if (!receive()) {
                return TlsSession::Step::Failed;
            }
        }
    }

    bool send(const std::string& text) {
        return session_->write(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()) &&
               flush();
    }

    // Plain text until it holds `count` of `wanted`, or the stream ends.
    std::string receive_until(char wanted, std::size_t count) {
        std::string text;
        std::uint8_t plain[4096];
        while (static_cast<std::size_t>(std::count(text.begin(), text.end(), wanted)) < count) {
            long got = session_->read(plain, sizeof plain);
            if (got > 0) {
                text.append(reinterpret_cast<char*>(plain), static_cast<std::size_t>(got));
            } else if (got < 0 || !receive()) {
                break;
            }
        }
        return text;
    }

    bool flush() {
        std::vector<std::uint8_t> out;
        session_->take_output(out);
        for (std::size_t sent = 0; sent < out.size();) {
            int n = ::send(socket_, reinterpret_cast<const char*>(out.data() + sent),
                           static_cast<int>(out.size() - sent), 0);
            if (n <= 0) {
                return false;
            }
            sent += static_cast<std::size_t>(n);
        }
        return true;
    }

  private:
    bool receive() {
        char bytes[2048];
        int n = ::recv(socket_, bytes, sizeof bytes, 0);
        if (n > 0) {
            session_->feed(reinterpret_cast<std::uint8_t*>(bytes), static_cast<std::size_t>(n));
        }
        return n > 0;
    }

    std::unique_ptr<TlsSession> session_;
    SOCKET socket_;
    bool connected_ = false;
};

class TlsSessionTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    }
    void SetUp() override {
        if (env("PALAVER_TLS_CA").empty()) {
            GTEST_SKIP() << "run through tls_servers.sh, which starts the servers";
        }
    }
    static TlsOptions trusting(const std::string& serverName) {
        TlsOptions options;
        options.caFile = env("PALAVER_TLS_CA");
        options.serverName = serverName;
        return options;
    }
};

TEST_F(TlsSessionTest, TalksBothWaysWithAServerItTrustsByAddressOrName) {
    for (const char* name : {"127.0.0.1", "localhost"}) {
        Client client("PALAVER_TLS_PORT_SERVER", trusting(name));
        ASSERT_EQ(client.handshake(), TlsSession::Step::Done)
            << name << ": " << client.session().failure_text();
        ASSERT_TRUE(client.send("hello\n"));
        EXPECT_EQ(client.receive_until('\n', 1), "olleh\n");
        // Larger than one record: the session splits it.
        ASSERT_TRUE(client.send(std::string(40000, 'a') + "\n"));
        std::string back = client.receive_until('a', 40000);
        EXPECT_EQ(std::count(back.begin(), back.end(), 'a'), 40000);
        client.session().close();
        EXPECT_TRUE(client.flush());
    }
}

TEST_F(TlsSessionTest, ADamagedRecordBreaksTheStream) {
    Client client("PALAVER_TLS_PORT_SERVER", trusting("127.0.0.1"));
    ASSERT_EQ(client.handshake(), TlsSession::Step::Done) << client.session().failure_text();
    // Application data whose length field promises more than is fed: it waits.
    std::vector<std::uint8_t> record = {0x17, 0x03, 0x03, 0x00, 0x40};
    record.resize(5 + 0x30, 0x41);
    std::uint8_t plain[256];
    client.session().feed(record.data(), record.size());
    EXPECT_EQ(client.session().read(plain, sizeof plain), 0);
    // Whole, it does not decrypt.
    record.assign(0x10, 0x41);
    client.session().feed(record.data(), record.size());
    EXPECT_EQ(client.session().read(plain, sizeof plain), -1);
    EXPECT_EQ(client.session().failure(), TlsFailure::Stream);
    EXPECT_FALSE(client.session().closed());
    EXPECT_FALSE(client.session().write(plain, 1));
}

TEST_F(TlsSessionTest, RefusesAnOlderVersionOrASuiteWithoutAuthenticatedEncryption) {
    for (const char* port : {"PALAVER_TLS_PORT_TLS11", "PALAVER_TLS_PORT_CBC"}) {
        Client client(port, trusting("127.0.0.1"));
        EXPECT_EQ(client.handshake(), TlsSession::Step::Failed) << port;
        EXPECT_EQ(client.session().failure(), TlsFailure::Handshake);
        EXPECT_NE(client.session().failure_text().find("the server chose"), std::string::npos)
            << client.session().failure_text();
    }
}

}  // namespace
