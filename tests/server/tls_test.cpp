// The TLS listener: the same protocol and rules inside TLS, beside the plain
// listener or alone, and what happens to clients on the wrong port or that
// stop in the handshake.
#include <gtest/gtest.h>

#include "protocol/client_messages.h"
#include "server_harness.h"
#include "tls_client.h"

namespace palaver::test {
namespace {

bool has(const std::string& log, const std::string& text) {
    return log.find(text) != std::string::npos;
}

TEST(ServerTls, LoginTalkAndLogoutBesideAPlainClientInTheSameRoom) {
    TestServer server(tls_settings());
    ASSERT_NE(server.tls_port(), 0);
    ASSERT_NE(server.tls_port(), server.port());

    TlsClient tina(server.tls_port());
    ASSERT_TRUE(tina.handshake()) << tina.error();
    ASSERT_EQ(tina.login("tina"), 1);
    RawClient paul(server.port());
    ASSERT_EQ(paul.login("paul"), 1);
    auto entered = tina.next_of(kEntered);
    ASSERT_TRUE(entered);
    EXPECT_EQ(records_of(*entered).at(0).userId, paul.id());

    tina.talk(0, "hello from TLS");
    auto line = paul.next_of(kTalk);
    ASSERT_TRUE(line);
    EXPECT_NE(std::string(line->payload.begin(), line->payload.end()).find("hello from TLS"),
              std::string::npos);
    ASSERT_TRUE(tina.next_of(kTalk));  // her own line, echoed

    // A burst, gathered into few TLS records on the way out, comes whole and
    // in order.
    constexpr int kLines = 2000;
    std::vector<std::uint8_t> burst;
    for (int i = 0; i < kLines; ++i) {
        std::string text = "line " + std::to_string(i);
        std::uint8_t m[kMaxTalkSize];
        std::size_t n = encode_talk(m, paul.id(), 0, paul.key(), false, text.data(), text.size());
        burst.insert(burst.end(), m, m + n);
    }
    paul.send(burst);
    for (int i = 0; i < kLines; ++i) {
        auto got = tina.next_of(kTalk);
        ASSERT_TRUE(got) << "line " << i;
        std::string text(got->payload.begin(), got->payload.end() - 1);
        ASSERT_EQ(text.substr(text.find("line ")), "line " + std::to_string(i));
    }

    tina.send(encode_logout(tina.key()));
    EXPECT_TRUE(tina.closed_within());
    EXPECT_TRUE(tina.closed_cleanly()) << "no close_notify";
    auto left = paul.next_of(kLeft);
    ASSERT_TRUE(left);
    EXPECT_EQ(ids_of(*left), std::vector<std::int32_t>{tina.id()});

    std::string log = server.stop_and_log();
    EXPECT_TRUE(has(log, "(TLS)")) << log;
}

TEST(ServerTls, RecordsThatArriveTogetherAreAllTakenInOrderBeforeTheCloseNotify) {
    TestServer server(tls_settings());
    TlsClient tina(server.tls_port());
    ASSERT_TRUE(tina.handshake()) << tina.error();
    ASSERT_EQ(tina.login("tina"), 1);
    RawClient paul(server.port());
    ASSERT_EQ(paul.login("paul"), 1);
    ASSERT_TRUE(tina.next_of(kEntered));

    // One record per line, and the close_notify right behind them: the
    // server finds many records in one read of its socket.
    constexpr int kLines = 500;
    for (int i = 0; i < kLines; ++i) {
        tina.talk(0, "line " + std::to_string(i));
    }
    tina.send_close_notify();
    for (int i = 0; i < kLines; ++i) {
        auto got = paul.next_of(kTalk);
        ASSERT_TRUE(got) << "line " << i;
        std::string text(got->payload.begin(), got->payload.end() - 1);
        ASSERT_EQ(text.substr(text.find("line ")), "line " + std::to_string(i));
    }
    auto left = paul.next_of(kLeft);
    ASSERT_TRUE(left);
    EXPECT_EQ(ids_of(*left), std::vector<std::int32_t>{tina.id()});
    std::string log = server.stop_and_log();
    EXPECT_TRUE(has(log, "connection closed by the client")) << log;
}

TEST(ServerTls, ServesTlsAloneWithListenNoneAndItsRulesHold) {
    auto settings = tls_settings();
    settings.plain = false;
    settings.maxClients = 2;
    TestServer server(settings);
    EXPECT_EQ(server.port(), 0);
    TlsClient a(server.tls_port());
    ASSERT_TRUE(a.handshake()) << a.error();
    ASSERT_EQ(a.login("a"), 1);
    TlsClient b(server.tls_port());
    ASSERT_TRUE(b.handshake()) << b.error();
    ASSERT_EQ(b.login("b"), 1);
    b.talk(0, "only TLS here");
    EXPECT_TRUE(a.next_of(kTalk));

    // A refusal comes whole, then the server's close_notify.
    TlsClient c(server.tls_port());
    ASSERT_TRUE(c.handshake()) << c.error();
    EXPECT_EQ(c.login("c"), -4);
    EXPECT_TRUE(c.closed_within());
    EXPECT_TRUE(c.closed_cleanly());
}

TEST(ServerTls, AClientOnTheWrongPortEndsOnlyItsConnection) {
    TestServer server(tls_settings());
    TlsClient bystander(server.tls_port());
    ASSERT_TRUE(bystander.handshake()) << bystander.error();
    ASSERT_EQ(bystander.login("bystander"), 1);

    // Plain text on the TLS port: the handshake fails.
    RawClient plain(server.tls_port());
    plain.send(encode_login_request(make_user("plain"), "", 0));
    EXPECT_TRUE(plain.closed_within());

    // TLS on the plain port: its ClientHello is no frame.
    TlsClient lost(server.port());
    EXPECT_FALSE(lost.handshake());

    bystander.talk(0, "still served");
    EXPECT_TRUE(bystander.next_of(kTalk));

    std::string log = server.stop_and_log();
    EXPECT_TRUE(has(log, "TLS handshake failed: ")) << log;
    EXPECT_TRUE(has(log, "a plain client on the TLS port")) << log;
    EXPECT_TRUE(has(log, "a TLS client on the plain port")) << log;
}

TEST(ServerTls, AHandshakeMustEndWithinTheLoginTime) {
    auto settings = tls_settings();
    settings.loginTimeout = 300ms;
    TestServer server(settings);
    auto start = std::chrono::steady_clock::now();

    RawClient silent(server.tls_port());
    // The start of a ClientHello whose record says 240 bytes more follow.
    RawClient stalled(server.tls_port());
    const std::uint8_t hello[] = {0x16, 0x03, 0x01, 0x00, 0xf0, 0x01, 0x00, 0x00, 0xec, 0x03, 0x03};
    stalled.send(hello, sizeof hello);

    EXPECT_TRUE(silent.closed_within());
    EXPECT_TRUE(stalled.closed_within());
    EXPECT_GE(std::chrono::steady_clock::now() - start, 250ms);

    std::string log = server.stop_and_log();
    auto first = log.find("TLS handshake not finished within");
    ASSERT_NE(first, std::string::npos) << log;
    EXPECT_NE(log.find("TLS handshake not finished within", first + 1), std::string::npos) << log;
}

TEST(ServerTls, ATlsClientThatNeverReadsIsDisconnected) {
    auto settings = tls_settings();
    settings.queueLimit = 64 * 1024;
    TestServer server(settings);
    TlsClient sluggish(server.tls_port());
    ASSERT_TRUE(sluggish.handshake()) << sluggish.error();
    ASSERT_EQ(sluggish.login("sluggish"), 1);
    RawClient talker(server.port());
    ASSERT_EQ(talker.login("talker"), 1);

    // The TLS client reads nothing, so its TLS writes stall and its queue fills.
    EXPECT_TRUE(flood_until_a_departure(talker));
    std::string log = server.stop_and_log();
    EXPECT_TRUE(has(log, "slow reader")) << log.substr(0, 2000);
}

TEST(ServerTls, RefusesCertificateFilesItCannotUse) {
    auto settings = tls_settings();
    settings.tls->certFile = "/nonexistent/server.pem";
    std::ostringstream text;
    server::Log log(server::Level::Info, text);
    EXPECT_THROW(server::Server(settings, log), std::runtime_error);
}

}  // namespace
}  // namespace palaver::test
