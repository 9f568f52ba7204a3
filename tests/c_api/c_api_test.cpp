// The C interface against the scripted fake server: its refusals, one
// client's whole life, the wait and its wakes, and freeing a busy client.
#include <gtest/gtest.h>

#if defined(_WIN32)
#include <winsock2.h>

#include <windows.h>
#else
#include <poll.h>
#endif

#include <chrono>
#include <cstring>
#include <functional>
#include <future>
#include <string>
#include <thread>

#include "deadline.h"
#include "fake_server.h"
#include "lib/api/c_call.h"
#include "lib/connection/timing.h"
#include "messages.h"
#include "palaver_c.h"

namespace palaver::test {
namespace {

using Clock = std::chrono::steady_clock;
constexpr std::int32_t kSelf = 100;

// palaver_self is deprecated for hosts; these tests still check that it works.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
const stUserInfo* live_self(palaver_client* c) {
    return palaver_self(c);
}
#pragma GCC diagnostic pop

class CInterfaceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        timing().receiveTimeoutMs = Timing::kReceiveTimeoutMs;
        timing().loginLimitMs = Timing::kLoginLimitMs;
        timing().keepAlivePeriodMs = Timing::kKeepAlivePeriodMs;
        ASSERT_NE(client, nullptr);
        ASSERT_EQ(palaver_set_server(client, "127.0.0.1", server.port()), 1);
    }
    void TearDown() override { palaver_client_free(client); }

    // Logs in with the server answering `reply` to the login request.
    int login(const Bytes& reply) {
        // The last error is the calling thread's: taken on Login's thread.
        auto result = std::async(std::launch::async, [this] {
            stUserInfo me = user(0, "me");
            int r = palaver_login(client, &me, "pw");
            loginError = palaver_last_error();
            return r;
        });
        if (server.accept() && server.read(106)) {
            server.send(reply);
        }
        return result.get();
    }
    // Logs in through palaver_login_with_status while `serve` plays the server.
    int login_with_status(const std::function<void()>& serve, std::int32_t& status) {
        auto result = std::async(std::launch::async, [this, &status] {
            stUserInfo me = user(0, "me");
            return palaver_login_with_status(client, &me, "pw", &status);
        });
        serve();
        return result.get();
    }
    std::function<void()> replying(const Bytes& reply) {
        return [this, reply] {
            if (server.accept() && server.read(106)) {
                server.send(reply);
            }
        };
    }
    // Waits until `count` threads block in palaver_wait on the client.
    bool waiting(int count) {
        for (auto until = Clock::now() + kDeadline; Clock::now() < until;) {
            if (client->state.room.events.waiting() >= count) {
                return true;
            }
            std::this_thread::sleep_for(1ms);
        }
        return false;
    }
    void log_in(const std::vector<stUserInfo>& others = {}) {
        std::vector<stUserInfo> group{user(kSelf, "me", {5, 6, 7, 8})};
        group.insert(group.end(), others.begin(), others.end());
        ASSERT_EQ(login(login_reply(1, {group})), 1);
    }
    std::vector<palaver_chat_line> take_talk(std::size_t capacity, int& more) {
        std::vector<palaver_chat_line> lines(capacity);
        std::size_t written = 0;
        more = palaver_get_talk(client, lines.data(), lines.size(), &written);
        lines.resize(written);
        return lines;
    }

    FakeServer server;
    palaver_client* client = palaver_client_new();
    int loginError = PALAVER_OK;
};

TEST(CInterface, RefusesNullsAndSaysWhy) {
    stUserInfo u{};
    std::size_t n = 0;
    palaver_chat_line line;
    EXPECT_EQ(palaver_set_server(nullptr, "127.0.0.1", 1), 0);
    EXPECT_EQ(palaver_last_error(), PALAVER_E_INVALID);
    EXPECT_EQ(palaver_login(nullptr, &u, ""), 0);
    EXPECT_EQ(palaver_send_talk(nullptr, 1, "x", 0), 0);
    EXPECT_EQ(palaver_get_talk(nullptr, &line, 1, &n), -1);
    EXPECT_EQ(palaver_wait(nullptr, 0), -1);
    EXPECT_EQ(palaver_wakeup(nullptr), 0);
    EXPECT_EQ(live_self(nullptr), nullptr);
    EXPECT_EQ(palaver_logout(nullptr), 0);
    std::int32_t status = 5;
    EXPECT_EQ(palaver_login_with_status(nullptr, &u, "", &status), PALAVER_E_INVALID);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(palaver_client_last_error(nullptr), PALAVER_E_INVALID);
    EXPECT_EQ(palaver_client_last_error_detail(nullptr, nullptr, 0), 0u);
    palaver_client_free(nullptr);

    palaver_client* c = palaver_client_new();
    EXPECT_EQ(palaver_login(c, nullptr, ""), 0);
    EXPECT_EQ(palaver_last_error(), PALAVER_E_INVALID);
    EXPECT_EQ(palaver_set_send_limit(nullptr, 100), 0);
    EXPECT_EQ(palaver_set_send_limit(c, 0), 0);
    EXPECT_EQ(palaver_last_error(), PALAVER_E_INVALID);
    EXPECT_EQ(palaver_set_talk_limit(nullptr, 1, 1), 0);
    EXPECT_EQ(palaver_set_talk_limit(c, 0, 1), 0);
    EXPECT_EQ(palaver_set_talk_limit(c, 1, 0), 0);
    EXPECT_EQ(palaver_dropped_talk(nullptr), 0u);
    EXPECT_EQ(palaver_dropped_talk(c), 0u);
    EXPECT_EQ(palaver_get_users(c, nullptr, 4, &n), -1);
    EXPECT_EQ(palaver_get_users(c, nullptr, 0, &n), 0);  // nothing asked, nothing waits
    EXPECT_EQ(palaver_set_server(c, "127.0.0.1", 0), 0);
    EXPECT_EQ(palaver_login(c, &u, ""), 0);
    EXPECT_EQ(palaver_last_error(), PALAVER_E_NO_ADDRESS);
    EXPECT_EQ(palaver_set_server(c, "no-such-host.invalid", 7400), 0);
    EXPECT_EQ(palaver_last_error(), PALAVER_E_RESOLVE);
    EXPECT_EQ(palaver_set_server(c, "::1", 7400), 1);  // IPv6 literals are addresses too
    EXPECT_EQ(palaver_send_talk(c, 1, "x", 0), 0);
    EXPECT_EQ(palaver_last_error(), PALAVER_E_NOT_CONNECTED);
    EXPECT_EQ(palaver_send_talk(c, 1, std::string(301, 'x').c_str(), 0), 0);
    EXPECT_EQ(palaver_last_error(), PALAVER_E_TOO_LONG);
    EXPECT_EQ(palaver_login(c, &u, std::string(21, 'p').c_str()), 0);
    EXPECT_EQ(palaver_last_error(), PALAVER_E_TOO_LONG);
    EXPECT_EQ(palaver_is_connected(c), 0);
    EXPECT_EQ(palaver_last_error(), PALAVER_OK);  // a call that works clears it
    palaver_client_free(c);

    for (int code = PALAVER_OK; code >= PALAVER_E_INTERNAL; --code) {
        EXPECT_STRNE(palaver_error_text(code), palaver_error_text(1)) << code;
    }
    EXPECT_EQ(std::string(palaver_version()), std::to_string(PALAVER_VERSION_MAJOR) + "." +
                                                  std::to_string(PALAVER_VERSION_MINOR) + "." +
                                                  std::to_string(PALAVER_VERSION_PATCH));
}

TEST_F(CInterfaceTest, ARefusedLoginKeepsTheServersCode) {
    EXPECT_EQ(login(login_reply(-3)), -3);
    EXPECT_EQ(loginError, PALAVER_E_REFUSED);
    EXPECT_EQ(palaver_is_connected(client), 0);
}

TEST_F(CInterfaceTest, LoginWithStatusTellsEveryOutcomeApart) {
    timing().loginLimitMs = 2000;  // the silent server's case ends at the limit
    std::int32_t status = 7;
    // -1 is a refusal here, never mistaken for a broken reply.
    for (std::int32_t refusal : {-1, -2, -3, -100}) {
        EXPECT_EQ(login_with_status(replying(login_reply(refusal)), status), PALAVER_E_REFUSED);
        EXPECT_EQ(status, refusal);
    }
    Bytes whole = login_reply(1, {{user(kSelf, "me"), user(7, "anna")}});
    Bytes cut(whole.begin(), whole.end() - 40);
    auto breaking = [&] {
        if (server.accept() && server.read(106)) {
            server.send(cut);
            server.close();
        }
    };
    EXPECT_EQ(login_with_status(breaking, status), PALAVER_E_BROKEN_REPLY);
    EXPECT_EQ(status, 1);
    auto silent = [&] { EXPECT_TRUE(server.accept() && server.read(106)); };
    EXPECT_EQ(login_with_status(silent, status), PALAVER_E_TIMEOUT);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(login_with_status(replying(login_reply(1, {{user(kSelf, "me")}})), status),
              PALAVER_OK);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(palaver_is_connected(client), 1);

    std::uint16_t closedPort = 0;
    {
        FakeServer gone;
        closedPort = gone.port();
    }
    ASSERT_EQ(palaver_set_server(client, "127.0.0.1", closedPort), 1);
    EXPECT_EQ(login_with_status([] {}, status), PALAVER_E_CONNECT);
    EXPECT_EQ(status, 0);
}

TEST_F(CInterfaceTest, ALoginToANameLooksItUpAgainAndReachesTheServer) {
    ASSERT_EQ(palaver_set_server(client, "localhost", server.port()), 1);
    log_in();
    EXPECT_EQ(palaver_is_connected(client), 1);
}

TEST_F(CInterfaceTest, QueriesCopyIntoTheCallersBuffersAndSayWhatWaits) {
    log_in({user(5, "anna"), user(3, "bert"), user(9, "cleo")});
    stUserInfo users[2];
    std::size_t written = 0;
    EXPECT_EQ(palaver_get_users(client, users, 2, &written), 1);  // one more than fits
    ASSERT_EQ(written, 2u);
    EXPECT_EQ(users[0].userId, 3);
    EXPECT_EQ(users[1].userId, 5);
    // A partial copy leaves the change for the call that copies the rest.
    EXPECT_EQ(palaver_wait(client, 0) & PALAVER_EVENT_USERS, PALAVER_EVENT_USERS);
    EXPECT_EQ(palaver_get_users(client, users, 0, &written), 3);
    EXPECT_EQ(palaver_wait(client, 0) & PALAVER_EVENT_USERS, PALAVER_EVENT_USERS);
    stUserInfo all[3];
    EXPECT_EQ(palaver_get_users(client, all, 3, &written), 0);
    EXPECT_EQ(palaver_wait(client, 0) & PALAVER_EVENT_USERS, 0);

    stUserInfo self{};
    EXPECT_EQ(palaver_copy_self(client, &self), 1);
    EXPECT_EQ(bytes_of(self), bytes_of(*live_self(client)));
    EXPECT_EQ(self.userId, kSelf);

    ASSERT_EQ(palaver_send_talk(client, 5, "hi", 1), 1);
    EXPECT_TRUE(server.expect(ByteWriter()
                                  .u16(17)
                                  .u8(3)
                                  .i32(kSelf)
                                  .i32(5)
                                  .raw(self.locationKey, 4)
                                  .u8(1)
                                  .text("hi")
                                  .u8(0)));

    const std::string longest(483, 'L');  // a Talk of 500 bytes
    server.send(concat(talk(5, kSelf, "one"), talk(3, kSelf, longest, 1), talk(9, kSelf, "three")));
    ASSERT_EQ(palaver_wait(client, 5000) & PALAVER_EVENT_TALK, PALAVER_EVENT_TALK);
    int more = 0;
    auto first = take_talk(1, more);
    ASSERT_EQ(first.size(), 1u);
    EXPECT_STREQ(first[0].text, "one");
    // The rest may still be on the way; what is taken comes in order, once.
    std::vector<palaver_chat_line> rest;
    for (auto until = Clock::now() + std::chrono::seconds(5);
         rest.size() < 2 && Clock::now() < until;) {
        palaver_wait(client, 100);
        auto got = take_talk(8, more);
        rest.insert(rest.end(), got.begin(), got.end());
    }
    ASSERT_EQ(rest.size(), 2u);
    EXPECT_EQ(rest[0].length, longest.size());
    EXPECT_EQ(std::string(rest[0].text), longest);
    EXPECT_EQ(rest[0].whisper, 1);
    EXPECT_EQ(rest[0].sender, 3);
    EXPECT_STREQ(rest[1].text, "three");
    EXPECT_EQ(more, 0);
}

TEST_F(CInterfaceTest, ABatchOfLinesGoesOutInOrderOrNotAtAll) {
    log_in();
    stUserInfo self{};
    ASSERT_EQ(palaver_copy_self(client, &self), 1);
    const unsigned char* key = self.locationKey;
    auto talkTo7 = [key](const std::string& text) {
        return ByteWriter()
            .u16(static_cast<std::uint16_t>(15 + text.size()))
            .u8(3)
            .i32(kSelf)
            .i32(7)
            .raw(key, 4)
            .u8(0)
            .text(text)
            .u8(0)
            .bytes();
    };
    // More lines than one write takes: they still arrive whole and in order.
    std::vector<std::string> texts;
    std::vector<const char*> pointers;
    ByteWriter expected;
    for (int i = 0; i < 400; ++i) {
        texts.push_back("line " + std::to_string(i) +
                        std::string(static_cast<std::size_t>(i % 90), '.'));
    }
    for (const auto& text : texts) {
        pointers.push_back(text.c_str());
        expected.raw(talkTo7(text));
    }
    ASSERT_EQ(palaver_send_talks(client, 7, pointers.data(), pointers.size(), 0), 1);
    EXPECT_TRUE(server.expect(expected));

    // One text too long, or null, refuses the batch: none of it goes out.
    const std::string tooLong(301, 'x');
    const char* refused[] = {"first", tooLong.c_str(), "third"};
    EXPECT_EQ(palaver_send_talks(client, 7, refused, 3, 0), 0);
    EXPECT_EQ(palaver_last_error(), PALAVER_E_TOO_LONG);
    refused[1] = nullptr;
    EXPECT_EQ(palaver_send_talks(client, 7, refused, 3, 0), 0);
    EXPECT_EQ(palaver_last_error(), PALAVER_E_INVALID);
    EXPECT_EQ(palaver_send_talks(client, 7, nullptr, 0, 0), 1);
    ASSERT_EQ(palaver_send_talk(client, 7, "after", 0), 1);
    EXPECT_TRUE(server.expect(talkTo7("after")));
}

TEST_F(CInterfaceTest, TheWaitWakesForEachKindOfEventAndTimesOut) {
    log_in({user(5, "anna")});
    std::size_t n = 0;
    EXPECT_EQ(palaver_get_users(client, nullptr, 0, &n), 1);  // a size probe
    EXPECT_EQ(palaver_wait(client, 0), PALAVER_EVENT_USERS);  // leaves the change to the copy
    stUserInfo ignored[4];
    EXPECT_EQ(palaver_get_users(client, ignored, 4, &n), 0);
    palaver_chat_line lines[4];
    stActionContent actions[4];

    auto start = Clock::now();
    EXPECT_EQ(palaver_wait(client, 50), 0);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(50));

    // Each event wakes a wait that is already blocked.
    auto blocked = [&](const Bytes& message) {
        auto woken = std::async(std::launch::async, [&] { return palaver_wait(client, 5000); });
        server.send(message);
        return woken.get();
    };
    EXPECT_EQ(blocked(talk(5, kSelf, "hello")), PALAVER_EVENT_TALK);
    palaver_get_talk(client, lines, 4, &n);
    EXPECT_EQ(blocked(talk(5, kSelf, "/@/\x07")), PALAVER_EVENT_ACTION);
    palaver_get_actions(client, actions, 4, &n);
    EXPECT_EQ(n, 1u);
    EXPECT_EQ(actions[0].action, 7);
    EXPECT_EQ(blocked(users_updated({user(5, "anna2")})) & PALAVER_EVENT_USERS,
              PALAVER_EVENT_USERS);
    palaver_get_users(client, ignored, 4, &n);
    palaver_get_talk(client, lines, 4, &n);  // the rename notice
    EXPECT_EQ(palaver_wait(client, 0), 0);

    auto broken = std::async(std::launch::async, [&] { return palaver_wait(client, 5000); });
    server.close();
    EXPECT_EQ(broken.get(), PALAVER_EVENT_DISCONNECTED);
    EXPECT_EQ(palaver_is_connected(client), 0);
    palaver_logout(client);
    EXPECT_EQ(palaver_wait(client, 0), 0);
}

TEST_F(CInterfaceTest, ASendToAServerThatStopsReadingEndsTheConnectionWithinTheLimit) {
    server.set_receive_buffer(4096);
    log_in();
    ASSERT_EQ(palaver_set_send_limit(client, 300), 1);
    // Senders on four threads fill the socket's buffers until one cannot go
    // on; each returns its last call's time and error.
    const std::string text(290, 'x');
    std::vector<const char*> batch(200, text.c_str());
    auto sender = [&] {
        for (;;) {
            const auto start = Clock::now();
            if (palaver_send_talks(client, 7, batch.data(), batch.size(), 0) != 1) {
                return std::make_pair(Clock::now() - start, palaver_last_error());
            }
        }
    };
    std::vector<std::future<std::pair<Clock::duration, int>>> senders;
    for (int i = 0; i < 4; ++i) {
        senders.push_back(std::async(std::launch::async, sender));
    }
    for (auto& s : senders) {
        // Without the limit a send would wait for the system, many minutes.
        ASSERT_EQ(s.wait_for(30s), std::future_status::ready);
        auto [took, error] = s.get();
        EXPECT_LT(took, 5s);
        EXPECT_TRUE(error == PALAVER_E_SEND || error == PALAVER_E_NOT_CONNECTED) << error;
    }
    EXPECT_EQ(palaver_is_connected(client), 0);
    // The login's change of the users waits too: look for the break's bit.
    EXPECT_TRUE(eventually(
        [&] { return (palaver_wait(client, 1000) & PALAVER_EVENT_DISCONNECTED) != 0; }, 10s));
    EXPECT_EQ(palaver_send_talk(client, 7, "late", 0), 0);
    EXPECT_EQ(palaver_last_error(), PALAVER_E_NOT_CONNECTED);
}

TEST_F(CInterfaceTest, AHostThatTakesNothingKeepsTheNewestLinesWithinTheLimit) {
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
    // The same stream, shorter: a sanitizer's receive path takes most of a
    // minute for a million lines on a loaded machine.
    constexpr std::size_t kLines = 200000;
#else
    constexpr std::size_t kLines = 1000000;
#endif
    constexpr std::size_t kLimit = 10000;
    log_in({user(5, "anna")});
    ASSERT_EQ(palaver_set_talk_limit(client, kLimit, 64u << 20), 1);
    // Arrivals and departures among the early lines: their notices are
    // dropped, the user set they changed must stay right.
    std::size_t notices = 0;
    int lastArrival = 0;
    Bytes chunk;
    for (std::size_t i = 0; i < kLines; ++i) {
        if (i % 1000 == 0 && i < kLines - 2 * kLimit) {
            lastArrival = 1000 + static_cast<int>(i / 1000);
            const Bytes in = user_entered(user(lastArrival, "u" + std::to_string(i)));
            chunk.insert(chunk.end(), in.begin(), in.end());
            ++notices;
            if (i > 0) {
                const Bytes out = users_left({lastArrival - 1});
                chunk.insert(chunk.end(), out.begin(), out.end());
                ++notices;
            }
        }
        const Bytes line = talk(5, kSelf, "line " + std::to_string(i));
        chunk.insert(chunk.end(), line.begin(), line.end());
        if (chunk.size() > 256 * 1024 || i + 1 == kLines) {
            server.send(chunk);
            chunk.clear();
        }
    }
    const std::uint64_t expectDropped = kLines + notices - kLimit;
    EXPECT_TRUE(eventually([&] { return palaver_dropped_talk(client) == expectDropped; }, 100s))
        << palaver_dropped_talk(client) << " dropped, " << expectDropped << " expected";

    int more = 0;
    auto first = take_talk(1, more);
    ASSERT_EQ(first.size(), 1u);
    EXPECT_STREQ(first[0].text, ("line " + std::to_string(kLines - kLimit)).c_str());
    EXPECT_EQ(more, static_cast<int>(kLimit - 1));
    std::size_t n = 0;
    stUserInfo users[4];
    EXPECT_EQ(palaver_get_users(client, users, 4, &n), 0);
    ASSERT_EQ(n, 2u);
    EXPECT_EQ(users[0].userId, 5);
    EXPECT_EQ(users[1].userId, lastArrival);

    // The byte limit: lines of 15 + 6 packed bytes, room for ten.
    take_talk(kLimit, more);
    ASSERT_EQ(palaver_set_talk_limit(client, kLimit, 10 * 21), 1);
    for (int i = 0; i < 100; ++i) {
        server.send(talk(5, kSelf, "t" + std::to_string(10000 + i)));
    }
    EXPECT_TRUE(
        eventually([&] { return palaver_dropped_talk(client) == expectDropped + 90; }, 30s));
    auto tail = take_talk(100, more);
    ASSERT_EQ(tail.size(), 10u);
    EXPECT_STREQ(tail[0].text, "t10090");
    EXPECT_STREQ(tail[9].text, "t10099");
}

TEST_F(CInterfaceTest, AWakeupEndsOneWaitOrIsKeptForTheNext) {
    EXPECT_EQ(palaver_wakeup(client), 1);
    EXPECT_EQ(palaver_wakeup(client), 1);  // wakes not yet taken count as one
    EXPECT_EQ(palaver_wait(client, 0), PALAVER_EVENT_WAKEUP);
    EXPECT_EQ(palaver_wait(client, 0), 0);

    auto blocked = std::async(std::launch::async, [c = client] { return palaver_wait(c, -1); });
    ASSERT_TRUE(waiting(1));
    EXPECT_EQ(palaver_wakeup(client), 1);
    ASSERT_EQ(blocked.wait_for(kDeadline), std::future_status::ready);
    EXPECT_EQ(blocked.get(), PALAVER_EVENT_WAKEUP);
}

TEST_F(CInterfaceTest, LogoutAndFreeEndEveryBlockedCall) {
    std::size_t none = 0;
    log_in();
    palaver_get_users(client, nullptr, 0, &none);  // takes the login's change
    auto wait_forever = [c = client] { return palaver_wait(c, -1); };
    auto first = std::async(std::launch::async, wait_forever);
    auto second = std::async(std::launch::async, wait_forever);
    ASSERT_TRUE(waiting(2));
    palaver_logout(client);
    for (auto* woken : {&first, &second}) {
        ASSERT_EQ(woken->wait_for(kDeadline), std::future_status::ready);
        EXPECT_EQ(woken->get() & PALAVER_EVENT_WAKEUP, PALAVER_EVENT_WAKEUP);
    }

    // Freed while one thread waits and another is stuck in a send the server
    // does not read: both are sent on their way before the client goes.
    server.set_receive_buffer(4096);
    log_in();
    palaver_get_users(client, nullptr, 0, &none);
    const std::vector<std::string> texts(30000, std::string(300, 'x'));  // 9 MB
    std::vector<const char*> pointers;
    for (const auto& text : texts) {
        pointers.push_back(text.c_str());
    }
    auto waiter = std::async(std::launch::async, wait_forever);
    auto sender = std::async(std::launch::async, [c = client, &pointers] {
        return palaver_send_talks(c, 7, pointers.data(), pointers.size(), 0);
    });
    ASSERT_TRUE(waiting(1));
    ASSERT_TRUE(server.read(4096));  // the batch is on its way, and stuck
    auto start = Clock::now();
    palaver_client_free(client);
    client = nullptr;
    EXPECT_LT(Clock::now() - start, kDeadline);
    ASSERT_EQ(waiter.wait_for(kDeadline), std::future_status::ready);
    EXPECT_EQ(waiter.get() & PALAVER_EVENT_WAKEUP, PALAVER_EVENT_WAKEUP);
    ASSERT_EQ(sender.wait_for(kDeadline), std::future_status::ready);
    EXPECT_EQ(sender.get(), 0);
}

TEST_F(CInterfaceTest, AClientsLastErrorIsReadableFromAnyThread) {
    auto failing = std::async(std::launch::async, [c = client] {
        palaver_send_talk(c, 1, "x", 0);
        return palaver_last_error();
    });
    EXPECT_EQ(failing.get(), PALAVER_E_NOT_CONNECTED);
    EXPECT_EQ(palaver_client_last_error(client), PALAVER_E_NOT_CONNECTED);
    EXPECT_EQ(palaver_last_error(), PALAVER_OK);  // this thread's own is its own

    // A TLS login to a server that is not one fails with the TLS library's
    // words: the client keeps the same detail the failing thread saw.
    if (palaver_set_tls(client, 1) != 1) {
        GTEST_SKIP() << "no TLS library";
    }
    auto tlsLogin = std::async(std::launch::async, [c = client] {
        stUserInfo me = user(0, "me");
        palaver_login(c, &me, "pw");
        return std::make_pair(palaver_last_error(), std::string(palaver_last_error_detail()));
    });
    if (server.accept() && server.read(5)) {
        server.send(Bytes(64, 'H'));
        server.close();
    }
    auto [code, detail] = tlsLogin.get();
    EXPECT_NE(code, PALAVER_OK);
    EXPECT_EQ(palaver_client_last_error(client), code);
    std::vector<char> whole(palaver_client_last_error_detail(client, nullptr, 0) + 1);
    EXPECT_EQ(palaver_client_last_error_detail(client, whole.data(), whole.size()), detail.size());
    EXPECT_EQ(std::string(whole.data()), detail);
    char cut[4];
    palaver_client_last_error_detail(client, cut, sizeof cut);
    EXPECT_EQ(std::string(cut), detail.substr(0, 3));
}

TEST_F(CInterfaceTest, FreeingALoggedInClientSaysGoodbyeAndCloses) {
    log_in();
    palaver_client_free(client);
    client = nullptr;
    EXPECT_TRUE(server.expect(ByteWriter().u16(5).u8(2).raw({5, 6, 7, 8})));
    EXPECT_TRUE(server.expect_closed());
}

// ---- Host-driven clients, the event descriptor and reconnect ----

// Whether the client's event descriptor (a handle on Windows) is readable
// within `ms`.
bool signalled(palaver_event event, int ms) {
#if defined(_WIN32)
    return WaitForSingleObject(event, static_cast<DWORD>(ms)) == WAIT_OBJECT_0;
#else
    pollfd p{event, POLLIN, 0};
    return ::poll(&p, 1, ms) == 1;
#endif
}

// The host's loop for one host-driven client, on the calling thread: waits
// on the socket and the client's timer, processes, until `done` holds.
bool drive(palaver_client* c, const std::function<bool(int)>& done, Ms limit = kDeadline) {
    for (auto until = Clock::now() + limit; Clock::now() < until;) {
        const palaver_socket s = palaver_socket_of(c);
        const int next = palaver_next_timeout(c);
        const int wait = next < 0 || next > 50 ? 50 : next;
        if (s != PALAVER_NO_SOCKET) {
#if defined(_WIN32)
            WSAPOLLFD p{
                s, static_cast<SHORT>(POLLRDNORM | (palaver_want_write(c) ? POLLWRNORM : 0)), 0};
            WSAPoll(&p, 1, wait);
#else
            pollfd p{s, static_cast<short>(POLLIN | (palaver_want_write(c) ? POLLOUT : 0)), 0};
            ::poll(&p, 1, wait);
#endif
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(wait));
        }
        if (done(palaver_process(c))) {
            return true;
        }
    }
    return false;
}

class HostDrivenTest : public CInterfaceTest {
  protected:
    void SetUp() override {
        palaver_client_free(client);
        client = palaver_client_new_host_driven();
        CInterfaceTest::SetUp();
    }
};

TEST_F(HostDrivenTest, LogsInTalksHearsIsKeptAliveAndLogsOutOnTheHostsThreadAlone) {
    timing().keepAlivePeriodMs = 100;
    log_in({user(5, "anna")});
    EXPECT_EQ(palaver_is_host_driven(client), 1);
    EXPECT_FALSE(client->state.connection.receiver.running());
    EXPECT_GE(palaver_next_timeout(client), 0);
    EXPECT_LE(palaver_next_timeout(client), 100);

    server.send(talk(5, kSelf, "hello"));
    ASSERT_TRUE(drive(client, [](int events) { return (events & PALAVER_EVENT_TALK) != 0; }));
    int more = 0;
    auto lines = take_talk(4, more);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_STREQ(lines[0].text, "hello");

    // The KeepAlives go out only as the host's loop turns; a line between.
    const Bytes keepAlive = ByteWriter().u16(5).u8(13).raw("\x05\x06\x07\x08", 4);
    auto host = std::async(std::launch::async, [c = client] {
        return drive(
            c, [](int events) { return (events & PALAVER_EVENT_WAKEUP) != 0; }, 30s);
    });
    EXPECT_TRUE(server.expect(keepAlive));
    EXPECT_TRUE(server.expect(keepAlive));
    palaver_wakeup(client);
    ASSERT_TRUE(host.get());
    ASSERT_EQ(palaver_send_talk(client, 5, "hi", 1), 1);
    auto sent = server.read(5);
    while (sent && *sent == keepAlive) {
        sent = server.read(5);
    }
    ASSERT_TRUE(sent);
    EXPECT_EQ((*sent)[2], 3) << hex(*sent);  // the Talk, written at once

    palaver_logout(client);
    EXPECT_EQ(palaver_socket_of(client), PALAVER_NO_SOCKET);
    EXPECT_EQ(palaver_next_timeout(client), -1);
}

TEST_F(HostDrivenTest, BatchedSendsWaitForTheLoopsNextTurnAndGoOutInOrder) {
    log_in();
    EXPECT_EQ(palaver_process(client), PALAVER_EVENT_USERS);  // this thread drives it
    ASSERT_EQ(palaver_set_send_batching(client, 1), 1);
    for (const char* text : {"one", "two", "three"}) {
        ASSERT_EQ(palaver_send_talk(client, 7, text, 0), 1);
    }
    EXPECT_EQ(palaver_want_write(client), 1);
    EXPECT_EQ(palaver_next_timeout(client), 0);  // a loop that only waits out its time-out
    EXPECT_FALSE(server.read(1, 100ms));         // nothing written yet
    palaver_process(client);
    EXPECT_EQ(palaver_want_write(client), 0);
    for (const std::string text : {"one", "two", "three"}) {
        auto line = server.read(static_cast<std::size_t>(17 + text.size()));
        ASSERT_TRUE(line);
        EXPECT_EQ(std::string(line->end() - 1 - static_cast<long>(text.size()), line->end() - 1),
                  text);
    }
    // Another thread's send goes at once.
    std::async(std::launch::async, [c = client] { palaver_send_talk(c, 7, "now", 0); }).get();
    EXPECT_TRUE(server.read(20));
    EXPECT_EQ(palaver_set_send_batching(client, 2), 0);
}

TEST_F(HostDrivenTest, AFullSendBufferRefusesWholeLinesAndAStallEndsTheConnection) {
    server.set_receive_buffer(4096);
    log_in();
    ASSERT_EQ(palaver_set_send_buffer(client, 16 * 1024), 1);
    ASSERT_EQ(palaver_set_send_limit(client, 300), 1);
    // The server reads nothing: the system's buffers fill, then the client's.
    const std::string text(290, 'x');
    bool busyWhileConnected = false;
    int events = 0;
    for (auto until = Clock::now() + 30s; Clock::now() < until;) {
        while (palaver_send_talk(client, 7, text.c_str(), 0) == 1) {
        }
        if (palaver_last_error() == PALAVER_E_BUSY) {
            busyWhileConnected = busyWhileConnected || palaver_is_connected(client) == 1;
            EXPECT_EQ(palaver_want_write(client), 1);
        }
        if ((events = palaver_process(client)) & PALAVER_EVENT_DISCONNECTED) {
            break;
        }
    }
    EXPECT_TRUE(busyWhileConnected);
    EXPECT_EQ(events & PALAVER_EVENT_DISCONNECTED, PALAVER_EVENT_DISCONNECTED);
    EXPECT_EQ(palaver_want_write(client), 0);
    EXPECT_EQ(palaver_send_talk(client, 7, "late", 0), 0);
    EXPECT_EQ(palaver_last_error(), PALAVER_E_NOT_CONNECTED);
}

TEST_F(CInterfaceTest, TheEventDescriptorIsReadableExactlyWhileTheWaitHasSomething) {
    log_in({user(5, "anna")});
    const palaver_event event = palaver_event_of(client);
    ASSERT_NE(event, PALAVER_NO_EVENT);
    EXPECT_EQ(palaver_event_of(client), event);  // one per client
    EXPECT_TRUE(signalled(event, 0));            // the login's user set
    std::size_t n = 0;
    stUserInfo users[4];
    palaver_chat_line lines[4];
    stActionContent actions[4];
    palaver_get_users(client, users, 4, &n);
    EXPECT_FALSE(signalled(event, 0));

    auto each = [&](const Bytes& message, int bit, const std::function<void()>& take) {
        EXPECT_FALSE(signalled(event, 0));
        server.send(message);
        EXPECT_TRUE(signalled(event, 5000)) << bit;
        EXPECT_EQ(palaver_wait(client, 0) & bit, bit);
        EXPECT_TRUE(signalled(event, 0)) << bit;  // a wait takes nothing
        take();
        EXPECT_FALSE(signalled(event, 0)) << bit;
    };
    each(talk(5, kSelf, "hello"), PALAVER_EVENT_TALK,
         [&] { palaver_get_talk(client, lines, 4, &n); });
    each(talk(5, kSelf, "/@/\x07"), PALAVER_EVENT_ACTION,
         [&] { palaver_get_actions(client, actions, 4, &n); });
    each(users_updated({user(5, "anna2")}), PALAVER_EVENT_USERS, [&] {
        palaver_get_users(client, users, 4, &n);
        palaver_get_talk(client, lines, 4, &n);  // the rename notice
    });

    palaver_wakeup(client);
    EXPECT_TRUE(signalled(event, 0));
    EXPECT_EQ(palaver_wait(client, 0), PALAVER_EVENT_WAKEUP);  // taken by the wait
    EXPECT_FALSE(signalled(event, 0));

    server.close();
    EXPECT_TRUE(signalled(event, 5000));
    EXPECT_EQ(palaver_wait(client, 0), PALAVER_EVENT_DISCONNECTED);
    palaver_logout(client);
    EXPECT_FALSE(signalled(event, 0));
}

// Reconnect against the scripted server, for both kinds of client: the
// threaded one waits, the host-driven one's wait drives it.
class ReconnectTest : public CInterfaceTest, public ::testing::WithParamInterface<bool> {
  protected:
    void SetUp() override {
        if (GetParam()) {
            palaver_client_free(client);
            client = palaver_client_new_host_driven();
        }
        CInterfaceTest::SetUp();
        ASSERT_EQ(palaver_set_reconnect(client, 1), 1);
        ASSERT_EQ(palaver_set_reconnect_delays(client, 50, 200, 20, 0), 1);
    }
    // Waits (driving a host-driven client) until `done` holds; every bit
    // the waits report is kept in `seen`.
    bool wait_until(const std::function<bool()>& done) {
        return eventually([&] { return (seen |= palaver_wait(client, 20)), done(); }, kDeadline);
    }
    bool wait_for(int bits) {
        return wait_until([&] { return (seen & bits) != 0; });
    }
    // Serves the next login with `reply` on a thread while the client waits.
    bool serve_login(const Bytes& reply, const std::function<bool()>& done) {
        auto served = std::async(std::launch::async, [&] {
            return server.accept() && server.read(106) && (server.send(reply), true);
        });
        const bool happened = wait_until(done);
        return served.get() && happened;
    }

    int seen = 0;
};

TEST_P(ReconnectTest, ComesBackWithTheNewRoomAndKeepsTheLinesInOrder) {
    log_in({user(5, "anna")});
    server.send(talk(5, kSelf, "before"));
    server.close();
    ASSERT_TRUE(wait_for(PALAVER_EVENT_DISCONNECTED));
    int error = -100;
    EXPECT_EQ(palaver_reconnect_status(client, &error), 1);
    if (!GetParam()) {
        // Once while the tries go on, so that a waiting loop does not spin.
        EXPECT_EQ(palaver_wait(client, 0) & PALAVER_EVENT_DISCONNECTED, 0);
    }
    EXPECT_EQ(palaver_send_talk(client, 5, "away", 0), 0);  // refused, not kept
    EXPECT_EQ(palaver_last_error(), PALAVER_E_NOT_CONNECTED);

    // The same login request again; the room now holds bob instead of anna.
    ASSERT_TRUE(serve_login(login_reply(1, {{user(kSelf, "me", {5, 6, 7, 8}), user(6, "bob")}}),
                            [&] { return (seen & PALAVER_EVENT_RECONNECTED) != 0; }));
    EXPECT_EQ(palaver_is_connected(client), 1);
    EXPECT_EQ(palaver_reconnect_status(client, &error), 0);
    EXPECT_EQ(error, PALAVER_OK);
    std::size_t n = 0;
    stUserInfo users[4];
    EXPECT_EQ(palaver_get_users(client, users, 4, &n), 0);
    ASSERT_EQ(n, 1u);
    EXPECT_EQ(users[0].userId, 6);
    server.send(talk(6, kSelf, "after"));
    std::vector<std::string> texts;
    ASSERT_TRUE(wait_until([&] {
        int more = 0;
        for (auto& line : take_talk(8, more)) {
            texts.emplace_back(line.text);
        }
        return texts.size() >= 2;
    }));
    EXPECT_EQ(texts, (std::vector<std::string>{"before", "after"}));
    ASSERT_EQ(palaver_send_talk(client, 6, "back", 0), 1);
}

TEST_P(ReconnectTest, ARefusalStopsTheTriesAndALogoutEndsTheBackOffAtOnce) {
    log_in();
    server.close();
    ASSERT_TRUE(serve_login(login_reply(-3), [&] {
        return (seen & PALAVER_EVENT_DISCONNECTED) &&
               palaver_reconnect_status(client, nullptr) == 0;
    }));
    int error = PALAVER_OK;
    palaver_reconnect_status(client, &error);
    EXPECT_EQ(error, PALAVER_E_REFUSED);
    // No more tries: the break is a level again, as without reconnect.
    EXPECT_EQ(palaver_wait(client, 0) & PALAVER_EVENT_DISCONNECTED, PALAVER_EVENT_DISCONNECTED);
    EXPECT_FALSE(server.accept(300ms));  // no more tries

    // A long back-off, ended by the host's logout.
    ASSERT_EQ(palaver_set_reconnect_delays(client, 60000, 60000, 0, 0), 1);
    log_in();
    seen = 0;
    server.close();
    ASSERT_TRUE(wait_for(PALAVER_EVENT_DISCONNECTED));
    ASSERT_EQ(palaver_reconnect_status(client, nullptr), 1);
    const auto start = Clock::now();
    palaver_logout(client);
    EXPECT_LT(Clock::now() - start, 5s);
    EXPECT_EQ(palaver_reconnect_status(client, nullptr), 0);
}

INSTANTIATE_TEST_SUITE_P(BothKinds, ReconnectTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "HostDriven" : "Threaded"; });

}  // namespace
}  // namespace palaver::test
