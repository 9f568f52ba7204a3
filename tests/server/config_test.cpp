// The accounts file, bans, the request budget, the limits of one address,
// the command line and the log's escaping, without a network.
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>

#include "server/accounts.h"
#include "server/address_limits.h"
#include "server/ban_file.h"
#include "server/bans.h"
#include "server/command_line.h"
#include "server/handlers.h"
#include "server/log.h"
#include "server/log_throttle.h"
#include "server/login_backoff.h"
#include "server/request_budget.h"
#include "tls_client.h"

namespace palaver::server {
namespace {

std::optional<Accounts> parse(const std::string& text, std::string& error) {
    std::istringstream in(text);
    return Accounts::parse(in, error);
}

TEST(ServerAccounts, ReadsNamesLoginStringsAndAdmins) {
    std::string error;
    auto a = parse("# staff\n\nboss  s3cret admin\r\nalice pw\n", error);
    ASSERT_TRUE(a) << error;
    EXPECT_EQ(a->size(), 2u);
    ASSERT_NE(a->find("boss"), nullptr);
    EXPECT_TRUE(a->find("boss")->secret.matches("s3cret"));
    EXPECT_FALSE(a->find("boss")->secret.matches("s3cre"));
    EXPECT_FALSE(a->find("boss")->secret.matches("s3cret!"));
    EXPECT_TRUE(a->find("boss")->admin);
    EXPECT_FALSE(a->find("alice")->admin);
    EXPECT_EQ(a->find("mallory"), nullptr);
    EXPECT_EQ(a->plain_count(), 2u);
}

TEST(ServerAccounts, AHashedEntryMatchesItsLoginStringOnly) {
    auto hash = LoginSecret::hash("s3cret");
    ASSERT_TRUE(hash);
    EXPECT_EQ(hash->rfind("$argon2id$", 0), 0u);
    EXPECT_NE(LoginSecret::hash("s3cret"), hash);  // salted
    std::string error;
    auto a = parse("boss " + *hash + " admin\nalice pw\n", error);
    ASSERT_TRUE(a) << error;
    EXPECT_TRUE(a->find("boss")->secret.hashed());
    EXPECT_TRUE(a->find("boss")->secret.matches("s3cret"));
    EXPECT_FALSE(a->find("boss")->secret.matches("s3cre"));
    EXPECT_FALSE(a->find("boss")->secret.matches(*hash));  // the entry is not the string
    EXPECT_EQ(a->plain_count(), 1u);
}

// A few mistakes are free; then each failure doubles the wait, checks of a
// name or an address are spaced by it however many arrive at once, one
// that would wait too long is refused, and a success forgets the failures.
TEST(ServerLoginBackoff, SpacesChecksAfterFailuresByNameAndAddress) {
    using B = LoginBackoff;
    B backoff;
    auto now = Clock::now();
    auto home = std::optional<AddressKey>(AddressKey::of(asio::ip::make_address("10.0.0.1")));
    auto away = std::optional<AddressKey>(AddressKey::of(asio::ip::make_address("10.0.0.2")));
    for (std::size_t i = 0; i < B::kFreeFailures; ++i) {
        EXPECT_EQ(backoff.reserve(home, "alice", now), now) << i;
        backoff.failed(home, "alice", now);
    }
    auto first = backoff.reserve(away, "alice", now);  // by name
    ASSERT_TRUE(first);
    EXPECT_EQ(*first, now + B::kFirstDelay);
    auto second = backoff.reserve(away, "alice", now);
    ASSERT_TRUE(second);
    EXPECT_GT(*second, *first) << "checks that arrive together are spaced";
    EXPECT_EQ(backoff.reserve(home, "bob", now), now + B::kFirstDelay) << "by address";
    EXPECT_EQ(backoff.reserve(std::nullopt, "bob", now), now);

    for (int i = 0; i < 4; ++i) {
        backoff.failed(home, "alice", now);
    }
    EXPECT_FALSE(backoff.reserve(away, "alice", now)) << "longer than the longest wait";
    EXPECT_TRUE(backoff.reserve(away, "alice", now + B::kMaxDelay));

    backoff.succeeded(home, "alice");
    EXPECT_EQ(backoff.reserve(home, "alice", now), now);
    backoff.failed(away, "carol", now);
    backoff.sweep(now + B::kForgetAfter);
    for (std::size_t i = 0; i + 1 < B::kFreeFailures; ++i) {
        backoff.failed(away, "carol", now + B::kForgetAfter);
    }
    EXPECT_EQ(backoff.reserve(away, "carol", now + B::kForgetAfter), now + B::kForgetAfter)
        << "failures older than the sweep's limit are forgotten";
}

TEST(ServerAccounts, RejectsLinesThatCannotWork) {
    for (const char* text :
         {"alice\n", "alice pw root\n", "alice pw admin extra\n", "alice pw\nalice other\n",
          "a234567890123456789012345678901 pw\n", "alice 123456789012345678901\n"}) {
        std::string error;
        EXPECT_FALSE(parse(text, error)) << text;
        EXPECT_NE(error.find("line"), std::string::npos) << text;
    }
}

TEST(ServerBans, LastTheirMinutesAndNoLonger) {
    Bans bans;
    auto now = Bans::Clock::now();
    bans.ban("bob", 5, now);
    bans.ban("eve", 0, now);
    bans.ban("mallory", std::numeric_limits<int>::max(), now);
    EXPECT_TRUE(bans.banned("bob", now + std::chrono::minutes(4)));
    EXPECT_FALSE(bans.banned("bob", now + std::chrono::minutes(5)));
    EXPECT_FALSE(bans.banned("eve", now));
    EXPECT_TRUE(bans.banned("mallory", now + std::chrono::hours(24 * 365 * 50)))
        << "a huge ban must not wrap into the past";
}

TEST(ServerBans, AFileKeepsNamesOfAnyBytesAndNamesABrokenLine) {
    auto now = Bans::Clock::now();
    Bans bans;
    const std::string odd("b o\\b\n\x00\xc4\xe3", 8);
    bans.ban(odd, 10, now);
    bans.ban("bob", 1, now);
    bans.ban_until("gone", Bans::end_of(0, now) - std::chrono::seconds(1));
    std::string path = ::testing::TempDir() + "palaver-bans-" + std::to_string(::getpid());
    std::string error;
    ASSERT_TRUE(save_bans(path, bans.list(now), error)) << error;
    auto loaded = load_bans(path, error);
    ASSERT_TRUE(loaded) << error;
    EXPECT_EQ(*loaded, bans.list(now)) << "the ended ban is left out, the rest as they were";
    EXPECT_EQ(loaded->count(odd), 1u);
    std::remove(path.c_str());
    EXPECT_TRUE(load_bans(path, error)) << "no file: no bans";

    for (const char* text : {"1 bob extra\n", "# ok\n\nsoon bob\n", "99 b\\x2\n",
                             "99 a234567890123456789012345678901\n"}) {
        std::istringstream in(text);
        EXPECT_FALSE(parse_bans(in, error)) << text;
        EXPECT_NE(error.find("line"), std::string::npos) << text;
    }
    std::istringstream far("999999999999999 eve\n");
    auto cut = parse_bans(far, error);
    ASSERT_TRUE(cut) << error;
    bans.replace(*cut);
    EXPECT_TRUE(bans.banned("eve", now + std::chrono::hours(24 * 365 * 50)))
        << "an end past the clock's range is cut, not wrapped into the past";

    std::istringstream broken("# ok\n\n12 bob\n1x bob\n");
    EXPECT_FALSE(parse_bans(broken, error));
    EXPECT_EQ(error.rfind("line 4: ", 0), 0u) << error;
}

// The default budget: a game in a room of 200 (60 walks and a talk line a
// second) plays a minute untouched; room lists asked for as fast as a client
// can are held to a few a second, and a held request goes through as soon
// as the budget says.
TEST(ServerRequestBudget, DefaultsLetAGamePlayAndHoldAFlood) {
    const Settings s;
    auto walk = static_cast<std::uint8_t>(ClientType::Walk);
    auto talk = static_cast<std::uint8_t>(ClientType::Talk);
    auto roomList = static_cast<std::uint8_t>(ClientType::RoomListRequest);
    auto t = Clock::now();
    RequestBudget game(s.requestRate, s.requestBurst, t);
    for (int frame = 0; frame < 60 * 60; ++frame) {
        t += std::chrono::microseconds(16667);
        ASSERT_TRUE(game.spend(request_cost(walk, 200), t)) << "frame " << frame;
        if (frame % 60 == 0) {
            ASSERT_TRUE(game.spend(request_cost(talk, 200), t)) << "frame " << frame;
        }
    }

    RequestBudget flood(s.requestRate, s.requestBurst, t);
    int served = 0;
    for (int i = 0; i < 10000; ++i) {
        t += std::chrono::microseconds(100);  // ten thousand a second
        served += flood.spend(request_cost(roomList, 200), t) ? 1 : 0;
    }
    EXPECT_LT(served, 100) << "in one second";
    Clock::time_point ready = flood.ready_at();
    EXPECT_FALSE(flood.spend(1, ready - std::chrono::milliseconds(2)));
    EXPECT_TRUE(flood.spend(1, ready));
}

TEST(ServerLog, EscapesControlBytesQuotesAndBackslashesAndEveryLineIsOneEvent) {
    std::ostringstream streamed, out;
    streamed << untrusted(std::string_view("a\0\n\r\x1b[\x7f\"\\z", 10));
    EXPECT_EQ(streamed.str(), "a\\x00\\x0a\\x0d\\x1b[\\x7f\\x22\\x5cz");
    const char* gbkAndUtf8 = "\xc4\xe3\xba\xc3 \xe4\xbd\xa0\xe5\xa5\xbd";
    EXPECT_EQ(escaped(gbkAndUtf8), gbkAndUtf8);
    Log(Level::Info, out).info("say \"hi\r\nforged\x1b\"");  // a call site without untrusted()
    EXPECT_EQ(out.str().substr(24), " INFO say \"hi\\x0d\\x0aforged\\x1b\"\n");
}

TEST(ServerLog, ARepeatedWarningIsWrittenOnceAnIntervalWithTheRepeatsHeldBack) {
    LogThrottle throttle(std::chrono::seconds(60));
    auto t = LogThrottle::Clock::time_point{};
    EXPECT_EQ(throttle.pass("Not Permitted", t), "Not Permitted");
    EXPECT_EQ(throttle.pass("Slow Consumer", t), "Slow Consumer") << "each text on its own";
    for (int i = 0; i < 3; ++i) {
        EXPECT_FALSE(throttle.pass("Not Permitted", t + std::chrono::seconds(59)));
    }
    EXPECT_EQ(throttle.pass("Not Permitted", t + std::chrono::seconds(60)),
              "Not Permitted (3 more like it held back)");
    EXPECT_FALSE(throttle.pass("Not Permitted", t + std::chrono::seconds(61)));
}

AddressKey key(const char* address) {
    return AddressKey::of(asio::ip::make_address(address));
}

TEST(ServerAddressLimits, CountRateAndSummedRefusalsPerAddress) {
    using V = AddressLimits::Verdict;
    // An IPv6 /64 is one address, and a mapped IPv4 address its IPv4 one.
    EXPECT_EQ(key("2001:db8:1:2::1"), key("2001:db8:1:2:ffff::7"));
    EXPECT_FALSE(key("2001:db8:1:3::1") == key("2001:db8:1:2::1"));
    EXPECT_EQ(key("2001:db8:1:2::1").text(), "2001:db8:1:2::/64");
    EXPECT_EQ(key("::ffff:10.0.0.5").text(), "10.0.0.5");

    // Two open at once, a burst of three, then one a second.
    AddressLimits limits({2, 1.0, 3, {key("10.0.0.9")}});
    auto t = Clock::time_point() + std::chrono::hours(1);
    auto a = key("10.0.0.5");
    EXPECT_EQ(limits.admit(a, t).verdict, V::Admitted);
    EXPECT_EQ(limits.admit(key("::ffff:10.0.0.5"), t).verdict, V::Admitted);
    auto refused = limits.admit(a, t);
    EXPECT_EQ(refused.verdict, V::TooMany);
    EXPECT_TRUE(refused.reportNow);
    EXPECT_FALSE(limits.admit(a, t).reportNow) << "summed with the next report";
    limits.release(a);
    EXPECT_EQ(limits.admit(a, t).verdict, V::Admitted);
    limits.release(a);
    limits.release(a);
    EXPECT_EQ(limits.admit(a, t).verdict, V::TooFast);
    EXPECT_EQ(limits.admit(a, t + std::chrono::seconds(1)).verdict, V::Admitted);
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(limits.admit(key("10.0.0.9"), t).verdict, V::Admitted) << "exempt";
    }

    EXPECT_TRUE(limits.sweep(t + std::chrono::seconds(5)).empty());
    auto reports = limits.sweep(t + AddressLimits::kReportInterval);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].address, a);
    EXPECT_EQ(reports[0].tooMany + reports[0].tooFast, 2u);
    // Kept while a connection is open, then until its bucket is full and its
    // quiet time over; the exempt address was never kept.
    EXPECT_EQ(limits.addresses(), 1u);
    limits.release(a);
    EXPECT_TRUE(limits.sweep(t + 2 * AddressLimits::kReportInterval).empty());
    EXPECT_EQ(limits.addresses(), 0u);
}

TEST(ServerCommandLine, ParsesListenAddresses) {
    Settings s;
    EXPECT_TRUE(parse_listen("127.0.0.1:0", s));
    EXPECT_EQ(s.port, 0);
    EXPECT_TRUE(parse_listen("[::1]:7400", s));
    EXPECT_EQ(s.address, "::1");
    EXPECT_EQ(s.port, 7400);
    for (const char* bad :
         {"127.0.0.1", "127.0.0.1:", "127.0.0.1:65536", "nowhere:80", ":80", "127.0.0.1:8x"}) {
        EXPECT_FALSE(parse_listen(bad, s)) << bad;
    }
}

TEST(ServerCommandLine, FillsTheSettings) {
    const char* argv[] = {"palaver-server", "--listen", "0.0.0.0:9000", "--max-clients", "5",
                          "--idle-timeout", "1.5",      "--log-chat",   "--log-level",   "warn"};
    int exitCode = -1;
    auto c = parse_command_line(10, const_cast<char**>(argv), exitCode);
    ASSERT_TRUE(c);
    EXPECT_EQ(c->settings.address, "0.0.0.0");
    EXPECT_EQ(c->settings.port, 9000);
    EXPECT_EQ(c->settings.maxClients, 5u);
    EXPECT_EQ(c->settings.idleTimeout, std::chrono::milliseconds(1500));
    EXPECT_EQ(c->settings.loginTimeout, std::chrono::milliseconds(10000));
    EXPECT_TRUE(c->settings.logChat);
    EXPECT_EQ(c->logLevel, Level::Warn);
    EXPECT_FALSE(c->settings.accounts);

    const char* bad[] = {"palaver-server", "--accounts", "/nonexistent/accounts"};
    EXPECT_FALSE(parse_command_line(3, const_cast<char**>(bad), exitCode));
    EXPECT_EQ(exitCode, 2);

    // Unlike the other times, a drain may take none: SIGTERM then stops at once.
    const char* noDrain[] = {"palaver-server", "--drain-timeout", "0"};
    c = parse_command_line(3, const_cast<char**>(noDrain), exitCode);
    ASSERT_TRUE(c);
    EXPECT_EQ(c->settings.drainTimeout, std::chrono::milliseconds(0));
}

// Parses `args` after the program name; the message it printed goes to `error`.
std::optional<CommandLine> parse(std::vector<std::string> args, int& exitCode, std::string& error) {
    std::vector<char*> argv{const_cast<char*>("palaver-server")};
    for (std::string& a : args) {
        argv.push_back(a.data());
    }
    testing::internal::CaptureStderr();
    auto c = parse_command_line(static_cast<int>(argv.size()), argv.data(), exitCode);
    error = testing::internal::GetCapturedStderr();
    return c;
}

TEST(ServerCommandLine, TakesTheTlsListener) {
    const auto& certs = test::test_certs();
    int exitCode = -1;
    std::string error;
    auto c = parse({"--listen", "none", "--tls-listen", "127.0.0.1:7443", "--tls-cert",
                    certs.serverCert, "--tls-key", certs.serverKey},
                   exitCode, error);
    ASSERT_TRUE(c) << error;
    EXPECT_FALSE(c->settings.plain);
    ASSERT_TRUE(c->settings.tls);
    EXPECT_EQ(c->settings.tls->address, "127.0.0.1");
    EXPECT_EQ(c->settings.tls->port, 7443);
    EXPECT_EQ(c->settings.tls->certFile, certs.serverCert);

    c = parse(
        {"--tls-listen", "[::1]:0", "--tls-cert", certs.serverCert, "--tls-key", certs.serverKey},
        exitCode, error);
    ASSERT_TRUE(c) << error;
    EXPECT_TRUE(c->settings.plain);
    EXPECT_EQ(c->settings.tls->address, "::1");
}

TEST(ServerCommandLine, TakesTheLimitsOfOneAddress) {
    int exitCode = -1;
    std::string error;
    auto c = parse({"--max-per-address", "0", "--connect-rate", "0.5", "--exempt-address",
                    "10.0.0.1", "--exempt-address", "2001:db8::1", "--max-logging-in", "64"},
                   exitCode, error);
    ASSERT_TRUE(c) << error;
    EXPECT_EQ(c->settings.maxPerAddress, 0u);
    EXPECT_EQ(c->settings.connectRate, 0.5);
    EXPECT_EQ(c->settings.connectBurst, 32u);
    EXPECT_EQ(c->settings.maxLoggingIn, 64u);
    EXPECT_EQ(c->settings.exemptAddresses, (std::vector<std::string>{"10.0.0.1", "2001:db8::1"}));
    EXPECT_FALSE(parse({"--exempt-address", "10.0.0"}, exitCode, error));
    EXPECT_EQ(exitCode, 2);
    EXPECT_NE(error.find("--exempt-address 10.0.0: expected an IPv4 or IPv6 address"),
              std::string::npos)
        << error;
}

TEST(ServerCommandLine, RefusesTlsSettingsThatCannotWork) {
    const auto& certs = test::test_certs();
    struct Case {
        std::vector<std::string> args;
        const char* message;
    };
    const Case cases[] = {
        {{"--tls-listen", "127.0.0.1:0", "--tls-cert", "/nonexistent/server.pem", "--tls-key",
          certs.serverKey},
         "--tls-cert /nonexistent/server.pem: cannot read it"},
        {{"--tls-listen", "127.0.0.1:0", "--tls-cert", certs.serverCert, "--tls-key",
          "/nonexistent/server.key"},
         "--tls-key /nonexistent/server.key: cannot read it"},
        {{"--tls-listen", "127.0.0.1:0", "--tls-cert", certs.serverKey, "--tls-key",
          certs.serverKey},
         "not a PEM certificate chain"},
        {{"--tls-listen", "127.0.0.1:0", "--tls-cert", certs.serverCert, "--tls-key",
          certs.otherNameKey},
         "the key does not belong to the certificate"},
        {{"--tls-listen", "127.0.0.1:0"}, "--tls-listen needs --tls-cert FILE and --tls-key"},
        {{"--tls-listen", "nowhere:1", "--tls-cert", certs.serverCert, "--tls-key",
          certs.serverKey},
         "--tls-listen: expected ADDR:PORT"},
        {{"--listen", "none"}, "--listen none: without --tls-listen"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        int exitCode = -1;
        std::string error;
        EXPECT_FALSE(parse(c.args, exitCode, error));
        EXPECT_EQ(exitCode, 2);
        EXPECT_NE(error.find(c.message), std::string::npos) << error;
    }
    // A certificate without the listener is a mistake too (CLI11 says so).
    int exitCode = -1;
    std::string error;
    EXPECT_FALSE(parse({"--tls-cert", certs.serverCert}, exitCode, error));
    EXPECT_NE(exitCode, 0);
}

}  // namespace
}  // namespace palaver::server
