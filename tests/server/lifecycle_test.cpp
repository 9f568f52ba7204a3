#include <unistd.h>

#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <sstream>

#include "PalaverProfile.h"
#include "protocol/server_messages.h"
#include "server_harness.h"
#include "server_process.h"

namespace palaver::test {
namespace {

// Collects Users left until `want` ids were seen or nothing more comes.
std::set<std::int32_t> departures(RawClient& c, std::size_t want) {
    std::set<std::int32_t> ids;
    while (ids.size() < want) {
        auto m = c.next_of(kLeft);
        if (!m) {
            break;
        }
        for (auto id : ids_of(*m)) {
            ids.insert(id);
        }
    }
    return ids;
}

TEST(ServerLifecycle, LogoutAndDroppedConnectionsTellTheRoom) {
    TestServer server;
    RawClient a(server.port()), b(server.port()), c(server.port()), d(server.port());
    ASSERT_EQ(a.login("alice"), 1);
    ASSERT_EQ(b.login("bob"), 1);
    ASSERT_EQ(c.login("carol"), 1);
    ASSERT_EQ(d.login("dave"), 1);

    b.send(encode_logout(b.key()));
    EXPECT_TRUE(b.closed_within());
    EXPECT_EQ(departures(a, 1), (std::set<std::int32_t>{b.id()}));

    c.drop();
    d.drop();
    EXPECT_EQ(departures(a, 2), (std::set<std::int32_t>{c.id(), d.id()}));
    EXPECT_TRUE(a.quiet_for());
}

TEST(ServerLifecycle, SilenceEndsASessionButKeepAlivesDoNot) {
    auto settings = test_settings();
    settings.idleTimeout = 1000ms;    // ten keep-alive periods of the lively one
    settings.loginTimeout = 60000ms;  // the idle limit holds even when shorter than this
    TestServer server(settings);
    RawClient quiet(server.port()), lively(server.port());
    auto start = std::chrono::steady_clock::now();  // before the quiet one's only message
    ASSERT_EQ(quiet.login("quiet"), 1);
    ASSERT_EQ(lively.login("lively"), 1);

    std::optional<Received> left;
    while (!left && std::chrono::steady_clock::now() - start < 10s) {
        lively.send(encode_keep_alive(lively.key()));
        left = lively.next_of(kLeft, 100ms);
    }
    ASSERT_TRUE(left) << "the quiet session never ended";
    EXPECT_EQ(ids_of(*left), std::vector<std::int32_t>{quiet.id()});
    EXPECT_GE(std::chrono::steady_clock::now() - start, settings.idleTimeout);
    EXPECT_TRUE(quiet.closed_within());

    lively.talk(0, "still here");
    EXPECT_TRUE(lively.next_of(kTalk)) << "keep-alives held the other session open";
}

std::shared_ptr<const server::Accounts> staff() {
    std::istringstream in("boss pw admin\nalice pw\nbob pw\n");
    std::string error;
    return std::make_shared<const server::Accounts>(*server::Accounts::parse(in, error));
}

TEST(ServerLifecycle, OnlyAdminsKickAndABanHoldsForItsMinutes) {
    auto settings = test_settings();
    settings.accounts = staff();
    TestServer server(settings);
    RawClient boss(server.port()), alice(server.port()), bob(server.port());
    ASSERT_EQ(boss.login("boss", 1, "pw"), 1);
    ASSERT_EQ(alice.login("alice", 1, "pw"), 1);
    ASSERT_EQ(bob.login("bob", 1, "pw"), 1);

    alice.send(encode_kick(bob.id(), 5));
    bob.talk(0, "not kicked");
    EXPECT_TRUE(bob.next_of(kTalk)) << "a kick by a non-admin is ignored";

    boss.send(encode_kick(bob.id(), 5));
    EXPECT_TRUE(bob.closed_within());
    EXPECT_EQ(departures(alice, 1), (std::set<std::int32_t>{bob.id()}));
    RawClient again(server.port());
    EXPECT_EQ(again.login("bob", 1, "pw"), -5);

    boss.send(encode_kick(alice.id(), 0));
    EXPECT_TRUE(alice.closed_within());
    RawClient back(server.port());
    EXPECT_EQ(back.login("alice", 1, "pw"), 1) << "a kick without minutes bans nobody";

    std::string log = server.stop_and_log();
    EXPECT_NE(log.find("not an admin"), std::string::npos);
}

TEST(ServerLifecycle, AKickWithABanClosesEverySessionOfTheNameUntilAnUnban) {
    auto settings = test_settings();
    settings.accounts = staff();
    settings.controlPath = ::testing::TempDir() + "palaver-ctl-" + std::to_string(::getpid());
    TestServer server(settings);
    RawClient boss(server.port()), alice(server.port()), bob(server.port()), bob2(server.port());
    ASSERT_EQ(boss.login("boss", 1, "pw"), 1);
    ASSERT_EQ(alice.login("alice", 1, "pw"), 1);
    ASSERT_EQ(bob.login("bob", 1, "pw"), 1);
    ASSERT_EQ(bob2.login("bob", 2, "pw"), 1);

    boss.send(encode_kick(bob.id(), 5));
    EXPECT_TRUE(bob.closed_within());
    EXPECT_TRUE(bob2.closed_within()) << "the name's other session, in another room";
    RawClient again(server.port());
    EXPECT_EQ(again.login("bob", 1, "pw"), -5);

    auto unban = run_ctl(PALAVER_SERVER_BINARY, settings.controlPath, {"unban", "bob"});
    EXPECT_EQ(unban.status, 0) << unban.output;
    RawClient back(server.port());
    EXPECT_EQ(back.login("bob", 1, "pw"), 1);
    EXPECT_NE(run_ctl(PALAVER_SERVER_BINARY, settings.controlPath, {"unban", "bob"}).status, 0)
        << "no ban left to lift";
}

// With an accounts file a name is its account's: nobody else may show it.
TEST(ServerLifecycle, ARenameToAnotherAccountsNameIsRefused) {
    auto settings = test_settings();
    settings.accounts = staff();
    TestServer server(settings);
    RawClient alice(server.port()), bob(server.port());
    ASSERT_EQ(alice.login("alice", 1, "pw"), 1);
    ASSERT_EQ(bob.login("bob", 1, "pw"), 1);
    ASSERT_TRUE(alice.next_of(kEntered));
    alice.send(encode_rename(alice.id(), alice.key(), "boss", 4));
    alice.send(encode_rename(alice.id(), alice.key(), "alicia", 6));
    auto updated = bob.next_of(kUpdated);
    ASSERT_TRUE(updated);
    EXPECT_EQ(profile::name(records_of(*updated).at(0)), "alicia") << "not boss first";
    EXPECT_NE(server.stop_and_log().find("a rename to \"boss\", another account's name"),
              std::string::npos);
}

TEST(ServerLifecycle, DeparturesOfOneTurnShareOneUsersLeft) {
    auto settings = test_settings();
    settings.accounts = staff();
    TestServer server(settings);
    RawClient boss(server.port()), alice(server.port()), bob(server.port());
    ASSERT_EQ(boss.login("boss", 1, "pw"), 1);
    ASSERT_EQ(alice.login("alice", 1, "pw"), 1);
    ASSERT_EQ(bob.login("bob", 1, "pw"), 1);
    // Both kicks in one write, so the server reads them in one go.
    auto first = encode_kick(alice.id(), 0);
    auto second = encode_kick(bob.id(), 0);
    std::vector<std::uint8_t> both(first.begin(), first.end());
    both.insert(both.end(), second.begin(), second.end());
    boss.send(both);
    auto left = boss.next_of(kLeft);
    ASSERT_TRUE(left);
    EXPECT_EQ(ids_of(*left), (std::vector<std::int32_t>{alice.id(), bob.id()}));
}

TEST(ServerLifecycle, ChatTextIsLoggedOnlyWhenAskedFor) {
    for (bool logChat : {false, true}) {
        auto settings = test_settings();
        settings.logChat = logChat;
        TestServer server(settings);
        RawClient a(server.port());
        ASSERT_EQ(a.login("alice"), 1);
        a.talk(0, "secret words");
        ASSERT_TRUE(a.next_of(kTalk));
        std::string log = server.stop_and_log();
        EXPECT_EQ(log.find("secret words") != std::string::npos, logChat);
        EXPECT_NE(log.find("login id"), std::string::npos);
        EXPECT_NE(log.find("disconnect"), std::string::npos);
    }
}

TEST(ServerLifecycle, UserBytesCannotForgeLogLines) {
    auto settings = test_settings();
    settings.logChat = true;
    TestServer server(settings);
    RawClient a(server.port());
    ASSERT_EQ(a.login("x\r\n2026-01-01T00:00:00Z IN\x1b[J\\"), 1);
    std::string rename = "y\n2026-01-01T00:00:00Z IN\x07\"";
    a.send(encode_rename(a.id(), a.key(), rename.data(), rename.size()));
    a.talk(0, "hi\r\n2026-01-01T00:00:00.000Z INFO forged\x1b]0;owned\x07");
    ASSERT_TRUE(a.next_of(kTalk));
    std::string log = server.stop_and_log();
    for (const char* seen : {"IN\\x1b[J\\x5c\" (", "to \"y\\x0a2026-01-01T00:00:00Z IN\\x07\\x22\"",
                             "forged\\x1b]0;owned\\x07\n"}) {
        EXPECT_NE(log.find(seen), std::string::npos) << seen;
    }
    std::regex lines(R"((\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z [^\x00-\x1f\x7f]*\n)+)");
    EXPECT_TRUE(std::regex_match(log, lines)) << log;
}

TEST(ServerLifecycle, StoppingClosesEveryConnection) {
    auto server = std::make_unique<TestServer>();
    RawClient a(server->port()), pending(server->port());
    ASSERT_EQ(a.login("alice"), 1);
    server->stop_and_log();
    EXPECT_TRUE(a.closed_within());
    EXPECT_TRUE(pending.closed_within());
}

}  // namespace
}  // namespace palaver::test
