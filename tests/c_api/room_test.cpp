// Many clients of the C interface in one process, in one room of a real
// server: each sees every line of every member exactly once, in the order it
// was sent, while its own threads send, wait and read at the same time.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "lib/connection/timing.h"
#include "palaver.hpp"
#include "palaver_c.h"
#include "server_harness.h"

namespace palaver::test {
namespace {

// One member: logs in, then a reader thread waits and takes lines while the
// caller's thread sends.
struct Member {
    explicit Member(palaver_client* c = palaver_client_new()) : client(c) {}
    palaver_client* client;
    std::int32_t id = 0;
    std::map<std::int32_t, int> next;  // sender -> next line number expected
    std::size_t received = 0;
    bool inOrder = true;

    ~Member() { palaver_client_free(client); }

    void read_until(std::size_t expected) {
        std::vector<palaver_chat_line> lines(32);
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (received < expected && std::chrono::steady_clock::now() < until) {
            if (palaver_wait(client, 1000) <= 0) {
                continue;
            }
            std::size_t n = 0;
            while (palaver_get_talk(client, lines.data(), lines.size(), &n) >= 0 && n > 0) {
                for (std::size_t i = 0; i < n; ++i) {
                    if (lines[i].sender < 0) {
                        continue;  // arrivals
                    }
                    inOrder = inOrder && std::stoi(lines[i].text) == next[lines[i].sender]++;
                    ++received;
                }
            }
        }
    }
};

void run_room(std::size_t members, int lines) {
    timing().receiveTimeoutMs = 200;
    timing().keepAlivePeriodMs = 100;
    TestServer server;
    std::vector<std::unique_ptr<Member>> room;
    for (std::size_t i = 0; i < members; ++i) {
        room.push_back(std::make_unique<Member>());
        Member& m = *room.back();
        stUserInfo me = make_user("m" + std::to_string(i), 4);
        ASSERT_EQ(palaver_set_server(m.client, "127.0.0.1", server.port()), 1);
        ASSERT_EQ(palaver_login(m.client, &me, ""), 1) << palaver_last_error();
        m.id = me.userId;
    }
    // Everyone sees everyone before the first line.
    for (auto& m : room) {
        std::size_t n = 0;
        ASSERT_TRUE(eventually(
            [&] {
                return palaver_get_users(m->client, nullptr, 0, &n) ==
                       static_cast<int>(members - 1);
            },
            std::chrono::seconds(20)));
    }
    const std::size_t expected = members * static_cast<std::size_t>(lines);
    std::vector<std::thread> readers;
    for (auto& m : room) {
        readers.emplace_back([&m, expected] { m->read_until(expected); });
    }
    // Senders interleave; each member's own lines stay in its order.
    std::vector<std::thread> senders;
    for (auto& m : room) {
        senders.emplace_back([&m, lines] {
            for (int i = 0; i < lines; ++i) {
                ASSERT_EQ(palaver_send_talk(m->client, -1, std::to_string(i).c_str(), 0), 1);
            }
        });
    }
    for (auto& t : senders) {
        t.join();
    }
    for (auto& t : readers) {
        t.join();
    }
    for (auto& m : room) {
        EXPECT_EQ(m->received, expected) << m->id;
        EXPECT_TRUE(m->inOrder) << m->id;
        for (auto& other : room) {
            EXPECT_EQ(m->next[other->id], lines) << m->id << " from " << other->id;
        }
    }
}

TEST(CInterfaceRoom, TwoClientsSeeEachOthersLinesOnceAndInOrder) {
    run_room(2, 500);
}

TEST(CInterfaceRoom, FiftyClientsInOneProcessSeeEveryLineOnceAndInOrder) {
    run_room(50, 20);
}

// One thread, a poller, many host-driven clients: each hears every line of
// every member once and in order, and sends only as the loop turns.
TEST(CInterfaceRoom, AHundredHostDrivenClientsOnOneThreadHearEveryLineOnceAndInOrder) {
    constexpr std::size_t kMembers = 100;
    constexpr int kLines = 5;
    TestServer server;
    palaver_poller* poller = palaver_poller_new();
    ASSERT_NE(poller, nullptr);
    std::vector<std::unique_ptr<Member>> room;
    for (std::size_t i = 0; i < kMembers; ++i) {
        room.push_back(std::make_unique<Member>(palaver_client_new_host_driven()));
        stUserInfo me = make_user("d" + std::to_string(i), 5);
        ASSERT_EQ(palaver_set_server(room.back()->client, "127.0.0.1", server.port()), 1);
        ASSERT_EQ(palaver_login(room.back()->client, &me, ""), 1) << palaver_last_error();
        room.back()->id = me.userId;
        ASSERT_EQ(palaver_poller_add(poller, room.back()->client), 1);
    }
    std::map<palaver_client*, Member*> byClient;
    for (auto& m : room) {
        byClient[m->client] = m.get();
    }
    const std::size_t expected = kMembers * kLines;
    std::size_t done = 0;
    int sentRounds = 0;
    std::vector<palaver_ready> ready(64);
    std::vector<palaver_chat_line> lines(64);
    for (auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
         done < kMembers && std::chrono::steady_clock::now() < until;) {
        // Once everyone is in the room, a line from each member per turn.
        if (sentRounds < kLines && std::all_of(room.begin(), room.end(), [](auto& m) {
                std::size_t n = 0;
                return palaver_get_users(m->client, nullptr, 0, &n) == kMembers - 1;
            })) {
            for (auto& m : room) {
                ASSERT_EQ(palaver_send_talk(m->client, -1, std::to_string(sentRounds).c_str(), 0),
                          1);
            }
            ++sentRounds;
        }
        const int count = palaver_poller_wait(poller, ready.data(), ready.size(), 100);
        ASSERT_GE(count, 0);
        for (int r = 0; r < count; ++r) {
            Member& m = *byClient.at(ready[r].client);
            std::vector<stUserInfo> users(kMembers);
            std::size_t n = 0;
            palaver_get_users(m.client, users.data(), users.size(), &n);
            while (palaver_get_talk(m.client, lines.data(), lines.size(), &n) >= 0 && n > 0) {
                for (std::size_t i = 0; i < n; ++i) {
                    if (lines[i].sender >= 0) {
                        m.inOrder =
                            m.inOrder && std::stoi(lines[i].text) == m.next[lines[i].sender]++;
                        done += ++m.received == expected ? 1 : 0;
                    }
                }
            }
        }
    }
    for (auto& m : room) {
        EXPECT_EQ(m->received, expected) << m->id;
        EXPECT_TRUE(m->inOrder) << m->id;
    }
    palaver_poller_free(poller);
}

// The server goes away and comes back on the same port: a threaded and a
// host-driven client, both in a poller, log in again by themselves and find
// each other.
TEST(CInterfaceRoom, ClientsReconnectWhenTheServerComesBack) {
    auto server = std::make_unique<TestServer>();
    const std::uint16_t port = server->port();
    Member threaded(palaver_client_new());
    Member driven(palaver_client_new_host_driven());
    palaver_poller* poller = palaver_poller_new();
    for (Member* m : {&threaded, &driven}) {
        stUserInfo me = make_user(m == &driven ? "driven" : "threaded", 6);
        ASSERT_EQ(palaver_set_server(m->client, "127.0.0.1", port), 1);
        ASSERT_EQ(palaver_set_reconnect(m->client, 1), 1);
        ASSERT_EQ(palaver_set_reconnect_delays(m->client, 20, 200, 20, 0), 1);
        ASSERT_EQ(palaver_login(m->client, &me, ""), 1);
        ASSERT_EQ(palaver_poller_add(poller, m->client), 1);
    }
    std::map<palaver_client*, int> seen;
    auto wait_all = [&](int bit) {
        return eventually(
            [&] {
                palaver_ready ready[4];
                const int n = palaver_poller_wait(poller, ready, 4, 50);
                for (int i = 0; i < n; ++i) {
                    seen[ready[i].client] |= ready[i].events;
                    stUserInfo users[4];
                    std::size_t taken = 0;
                    palaver_get_users(ready[i].client, users, 4, &taken);
                }
                return (seen[threaded.client] & bit) && (seen[driven.client] & bit);
            },
            std::chrono::seconds(20));
    };
    server.reset();
    ASSERT_TRUE(wait_all(PALAVER_EVENT_DISCONNECTED));
    server::Settings again = test_settings();
    again.port = port;
    server = std::make_unique<TestServer>(again);
    ASSERT_TRUE(wait_all(PALAVER_EVENT_RECONNECTED));
    for (Member* m : {&threaded, &driven}) {
        EXPECT_EQ(palaver_is_connected(m->client), 1);
        ASSERT_TRUE(eventually(
            [&] {
                palaver_ready ready[4];
                palaver_poller_wait(poller, ready, 4, 20);  // drives the host-driven one
                std::size_t n = 0;
                return palaver_get_users(m->client, nullptr, 0, &n) == 1;
            },
            std::chrono::seconds(20)));
    }
    palaver_poller_free(poller);
}

TEST(CppLayer, AHostDrivenClientAndAThreadedOneShareAPoller) {
    TestServer server;
    palaver::Client driven = palaver::Client::host_driven(), threaded;
    stUserInfo d = make_user("driven", 7), t = make_user("threaded", 7);
    ASSERT_TRUE(driven.host_driven_client());
    ASSERT_TRUE(driven.set_server("127.0.0.1", server.port()));
    ASSERT_TRUE(threaded.set_server("127.0.0.1", server.port()));
    ASSERT_EQ(driven.login(d), 1);
    ASSERT_EQ(threaded.login(t), 1);
    palaver::Poller poller;
    ASSERT_TRUE(poller.add(driven));
    ASSERT_TRUE(poller.add(threaded));
    ASSERT_TRUE(driven.send_talk(t.userId, "to you", true));
    std::string heard;
    ASSERT_TRUE(eventually([&] {
        for (const palaver_ready& r : poller.wait(std::chrono::milliseconds(100))) {
            if (r.client == threaded.handle()) {
                for (auto& line : threaded.talk()) {
                    heard = line.sender == d.userId ? line.text : heard;
                }
            }
        }
        return heard == "to you";
    }));
    poller.wakeup();
    auto woken = poller.wait(std::chrono::seconds(5));
    ASSERT_FALSE(woken.empty());
    EXPECT_EQ(woken[0].client, nullptr);
    EXPECT_EQ(woken[0].events, PALAVER_EVENT_WAKEUP);
}

TEST(CppLayer, TwoClientsTalkAndSeeEachOther) {
    TestServer server;
    palaver::Client alice, bob;
    stUserInfo a = make_user("alice", 2), b = make_user("bob", 2);
    ASSERT_TRUE(alice.set_server("localhost", server.port()));
    ASSERT_TRUE(bob.set_server("127.0.0.1", server.port()));
    // A refusal comes back as the code and the server's own status.
    stUserInfo nameless = make_user("", 2);
    palaver::LoginResult refused = alice.login_with_status(nameless);
    EXPECT_EQ(refused.code, PALAVER_E_REFUSED);
    EXPECT_EQ(refused.serverStatus, -2);
    EXPECT_EQ(alice.client_last_error(), PALAVER_E_REFUSED);
    palaver::LoginResult accepted = alice.login_with_status(a);
    ASSERT_TRUE(accepted.ok());
    EXPECT_EQ(accepted.serverStatus, 1);
    ASSERT_EQ(bob.login(b), 1);
    EXPECT_EQ(alice.self().userId, a.userId);
    ASSERT_TRUE(eventually([&] { return alice.users().size() == 1; }, std::chrono::seconds(20)));
    EXPECT_EQ(alice.users()[0].userId, b.userId);

    ASSERT_TRUE(bob.send_talk(a.userId, std::string(300, 'w'), true));
    std::vector<palaver::ChatLine> heard;
    ASSERT_TRUE(eventually(
        [&] {
            alice.wait(std::chrono::milliseconds(100));
            for (auto& line : alice.talk()) {
                if (line.sender == b.userId) {
                    heard.push_back(line);
                }
            }
            return !heard.empty();
        },
        std::chrono::seconds(20)));
    EXPECT_EQ(heard[0].text, std::string(300, 'w'));
    EXPECT_TRUE(heard[0].whisper);
    palaver::Client moved = std::move(bob);
    EXPECT_TRUE(moved.connected());
    EXPECT_FALSE(bob.connected());  // a moved-from client holds nothing
}

}  // namespace
}  // namespace palaver::test
