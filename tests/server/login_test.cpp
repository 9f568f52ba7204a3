#include <gtest/gtest.h>

#include <set>
#include <sstream>

#include "PalaverProfile.h"
#include "protocol/server_messages.h"
#include "protocol/wire.h"
#include "server_harness.h"

namespace palaver::test {
namespace {

std::shared_ptr<const server::Accounts> accounts(const std::string& text) {
    std::istringstream in(text);
    std::string error;
    auto parsed = server::Accounts::parse(in, error);
    EXPECT_TRUE(parsed) << error;
    return std::make_shared<const server::Accounts>(std::move(*parsed));
}

TEST(ServerLogin, AssignsIdsAndShowsEachClientItsOwnRoom) {
    TestServer server;
    RawClient a(server.port()), b(server.port()), c(server.port());
    stUserInfo record = make_user("alice", 1);
    record.name[40] = 'x';  // junk in the picture field is cut to ten bytes
    std::memset(record.name + 35, 'p', 15);
    ASSERT_EQ(a.login(record), 1);
    ASSERT_EQ(b.login("bob", 1), 1);
    ASSERT_EQ(c.login("carol", 2), 1);

    std::set<std::int32_t> ids{a.id(), b.id(), c.id()};
    EXPECT_EQ(ids.size(), 3u);
    EXPECT_EQ(ids.count(12345), 0u) << "the host's id is not trusted";
    EXPECT_EQ(profile::name(a.self), "alice");
    EXPECT_EQ(profile::picture(a.self), std::string(10, 'p'));
    EXPECT_EQ(bytes_of(a.self)[profile::kReservedOffset], 0);
    EXPECT_EQ(profile::room(a.self), 1u);

    EXPECT_TRUE(a.others.empty());
    ASSERT_EQ(b.others.size(), 1u);
    EXPECT_EQ(b.others[0].userId, a.id());
    EXPECT_TRUE(c.others.empty()) << "room 2 is another room";

    auto entered = a.next();
    ASSERT_TRUE(entered);
    EXPECT_EQ(entered->type, kEntered);
    EXPECT_EQ(decode_user_entered(entered->frame())->userId, b.id());
    EXPECT_TRUE(a.quiet_for()) << "carol entered another room";
    EXPECT_TRUE(b.quiet_for()) << "no User entered about oneself";
}

TEST(ServerLogin, RefusesWithCodesTheLibraryCanTellApart) {
    auto settings = test_settings();
    settings.accounts = accounts("alice secret\nbob hunter2 admin\n");
    settings.maxClients = 1;
    TestServer server(settings);

    RawClient empty(server.port());
    EXPECT_EQ(empty.login("", 1, "secret"), -2);
    EXPECT_TRUE(empty.closed_within());

    RawClient wrong(server.port());
    EXPECT_EQ(wrong.login("alice", 1, "guess"), -3);
    EXPECT_TRUE(wrong.closed_within());
    RawClient unknown(server.port());
    EXPECT_EQ(unknown.login("mallory", 1, "secret"), -3);

    RawClient alice(server.port());
    EXPECT_EQ(alice.login("alice", 1, "secret"), 1);
    RawClient bob(server.port());
    EXPECT_EQ(bob.login("bob", 1, "hunter2"), -4) << "one client at most";
    EXPECT_TRUE(bob.closed_within());
}

// A hashed entry is checked off the event loop while the session waits;
// what the client sent right behind its login request is handled after it.
TEST(ServerLogin, HashedEntriesAreCheckedAndRequestsBehindTheLoginWait) {
    auto hash = server::LoginSecret::hash("secret");
    ASSERT_TRUE(hash);
    auto settings = test_settings();
    settings.accounts = accounts("alice " + *hash + "\nbob hunter2 admin\n");
    // The clients connect together and log in one after another, each check
    // taking its time on a loaded machine: the login limit is not tested here.
    settings.loginTimeout = 20000ms;
    TestServer server(settings);
    RawClient wrong(server.port()), unknown(server.port()), bob(server.port());
    EXPECT_EQ(wrong.login("alice", 1, "secreT"), -3);
    EXPECT_EQ(unknown.login("mallory", 1, "secret"), -3);
    EXPECT_EQ(bob.login("bob", 1, "hunter2"), 1);

    RawClient alice(server.port());
    auto user = make_user("alice", 1);
    auto list = encode_room_list_request(location_key_of(user));
    ASSERT_EQ(alice.login(user, "secret", {list.begin(), list.end()}), 1);
    EXPECT_TRUE(alice.next_of(kRoomList)) << "the request behind the login was handled";
    EXPECT_TRUE(bob.next_of(kEntered));
}

TEST(ServerLogin, AFirstMessageThatIsNotAWholeLoginRequestIsRefused) {
    TestServer server;
    RawClient keepAlive(server.port());
    keepAlive.send(encode_keep_alive(LocationKey{}));
    EXPECT_EQ(keepAlive.raw_status(), -2);
    EXPECT_TRUE(keepAlive.closed_within());

    RawClient shortLogin(server.port());
    auto request = encode_login_request(make_user("alice"), "", 0);
    wire::store_u16(request.data(), 50);  // a login request cut short
    shortLogin.send(request.data(), 52);
    EXPECT_EQ(shortLogin.raw_status(), -2);
    EXPECT_TRUE(shortLogin.closed_within());

    RawClient empty(server.port());
    std::uint8_t nothing[] = {0, 0};
    empty.send(nothing, sizeof nothing);
    EXPECT_TRUE(empty.closed_within()) << "a frame of length 0 is hostile";
}

TEST(ServerLogin, ALoginRequestMustBeWholeInTime) {
    auto settings = test_settings();
    settings.loginTimeout = 300ms;
    TestServer server(settings);
    RawClient slow(server.port());
    auto request = encode_login_request(make_user("alice"), "", 0);
    slow.send(request.data(), 50);  // the rest never comes
    auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(slow.closed_within(3000ms));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 200ms);
}

TEST(ServerLogin, AReplyForALargeRoomComesInGroupsOf197) {
    TestServer server;
    std::vector<std::unique_ptr<RawClient>> crowd;
    for (int i = 0; i < 200; ++i) {
        crowd.push_back(std::make_unique<RawClient>(server.port()));
        ASSERT_EQ(crowd.back()->login("user" + std::to_string(i), 7), 1);
    }
    RawClient last(server.port());
    ASSERT_EQ(last.login("last", 7), 1);

    const std::uint8_t* r = last.replyBytes.data();
    EXPECT_EQ(wire::load_i32(r), 2) << "two groups";
    EXPECT_EQ(wire::load_i32(r + 4), 197);
    EXPECT_EQ(wire::load_i32(r + 8 + 197 * kUserInfoSize), 4);
    EXPECT_EQ(last.replyBytes.size(), 4u + 2 * 4 + 201 * kUserInfoSize);
    EXPECT_EQ(profile::name(last.self), "last") << "the own record comes first";
    std::set<std::int32_t> ids;
    for (const auto& u : last.others) {
        ids.insert(u.userId);
    }
    EXPECT_EQ(ids.size(), 200u);
    EXPECT_EQ(ids.count(last.id()), 0u);
}

}  // namespace
}  // namespace palaver::test
