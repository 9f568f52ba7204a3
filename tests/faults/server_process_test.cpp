// Faults that need the real server: the server process dies under heavy
// traffic, and a thousand clients connect and vanish without a goodbye.
#include <signal.h>
#include <sys/wait.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <thread>

#include "PalaverProfile.h"
#include "lib/api/default_client.h"
#include "protocol/client_messages.h"
#include "tests/faults/client_fixture.h"
#include "tests/support/server_harness.h"
#include "tests/support/server_process.h"

namespace palaver::test {
namespace {

constexpr std::uint32_t kRoom = 0x5EA7;
const std::vector<std::string> kQuiet{"--log-level", "error"};

stUserInfo room_user(const char* name) {
    stUserInfo u{};
    profile::set_name(u, name);
    profile::set_room(u, kRoom);
    return u;
}

// Sends numbered Talks into the room until told to stop or the server goes.
void flood(std::uint16_t port, std::atomic<bool>& stop, std::atomic<std::int32_t>& id) {
    RawClient talker(port);
    if (talker.login("talker", kRoom) != 1) {
        return;
    }
    id = talker.id();
    LocationKey key = location_key_of(room_user("talker"));
    std::vector<std::uint8_t> batch;
    std::uint8_t message[kMaxTalkSize];
    for (int i = 0; i < 1000000 && !stop; i += 200) {
        batch.clear();
        for (int j = i; j < i + 200; ++j) {
            std::string text = "n" + std::to_string(j);
            std::size_t n = encode_talk(message, id, -1, key, false, text.data(), text.size());
            batch.insert(batch.end(), message, message + n);
        }
        // The server echoes the room's lines back: read them, or be cut off
        // as a slow reader.
        if (!talker.send(batch) || !talker.drain()) {
            return;
        }
    }
}

TEST_F(ClientFaults, TheServerKilledDuringHeavyTrafficEndsTheConnectionCleanly) {
    ServerProcess server(PALAVER_SERVER_BINARY, kQuiet);
    ASSERT_NE(server.port(), 0);
    ASSERT_EQ(chatComunicate::SetServerIPandPort("127.0.0.1", server.port()), 1);
    stUserInfo me = room_user("me");
    ASSERT_EQ(chatComunicate::Login(me, ""), 1);
    {
        // The flood outruns the polls below by far more than the talk
        // queue's default limit on a loaded machine; this test reads the
        // stream line by line, so it keeps every line.
        ClientState& client = default_client();
        std::lock_guard<std::mutex> hold(client.room.queueLock);
        client.room.talk.set_limit(SIZE_MAX, SIZE_MAX);
    }

    std::atomic<bool> stop{false};
    std::atomic<std::int32_t> talkerId{0};
    std::thread talker(flood, server.port(), std::ref(stop), std::ref(talkerId));
    std::vector<std::string> numbered;
    auto collect = [&] {
        std::vector<stChatContent> more;
        chatComunicate::GetTalk(more);
        for (auto& l : more) {
            if (l.sender == talkerId && talkerId != 0) {
                numbered.push_back(l.text);
            }
        }
    };
    bool flowing = wait_for(
        [&] {
            collect();
            return numbered.size() >= 2000;
        },
        30000);
    server.signal(SIGKILL);
    EXPECT_TRUE(server.wait_status(5s).has_value());
    stop = true;
    talker.join();
    ASSERT_TRUE(flowing) << numbered.size() << " lines before the kill";

    EXPECT_TRUE(wait_for([] { return !chatComunicate::IsConnected(); }, 3000));
    auto start = std::chrono::steady_clock::now();
    chatComunicate::Logout();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
    collect();
    for (std::size_t i = 0; i < numbered.size(); ++i) {
        ASSERT_EQ(numbered[i], "n" + std::to_string(i));
    }
}

TEST(ServerFaults, AThousandVanishingClientsLeaveTheServerAsItWas) {
    // All from one address, as fast as they can.
    ServerProcess server(PALAVER_SERVER_BINARY,
                         {"--log-level", "error", "--max-per-address", "0", "--connect-rate", "0"});
    ASSERT_NE(server.port(), 0);
    std::size_t fds = 0;
    {
        RawClient warmUp(server.port());
        ASSERT_EQ(warmUp.login("warm", kRoom), 1);
        fds = server.open_descriptors() - 1;  // all but the warm-up's connection
    }
    // Counted once the server has seen the hang-up and closed its end.
    ASSERT_TRUE(wait_for([&] { return server.open_descriptors() == fds; }));
    const std::size_t threads = server.threads();

    auto loginRequest = [] {
        auto r = encode_login_request(room_user("half"), "", 0);
        return std::vector<std::uint8_t>(r.begin(), r.begin() + r.size() / 2);
    }();
    for (int i = 0; i < 1000; ++i) {
        RawClient c(server.port());
        std::string name = "v" + std::to_string(i);
        switch (i % 4) {
            case 0:  // connects and hangs up at once
                c.drop();
                break;
            case 1:  // logs in and resets
                ASSERT_EQ(c.login(name, kRoom), 1) << "client " << i;
                c.reset();
                break;
            case 2:  // logs in and hangs up
                ASSERT_EQ(c.login(name, kRoom), 1) << "client " << i;
                c.drop();
                break;
            default:  // half a login request, then a reset
                c.send(loginRequest);
                c.reset();
                break;
        }
    }
    EXPECT_TRUE(wait_for([&] { return server.open_descriptors() == fds; }, 5000))
        << server.open_descriptors() << " descriptors, " << fds << " before";
    EXPECT_EQ(server.threads(), threads);

    // A clean exit; in the AddressSanitizer build the leak checker runs here.
    server.signal(SIGTERM);
    auto status = server.wait_status(10s);
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << "status " << *status;
}

}  // namespace
}  // namespace palaver::test
