// The server's side of the connection breaks or stalls part way through a
// message: the module must keep every whole message, drop the torn one, and
// neither hang nor leave a thread or a descriptor behind.
#include <atomic>
#include <chrono>
#include <thread>

#include "lib/api/default_client.h"
#include "lib/platform/socket.h"
#include "tests/faults/client_fixture.h"

namespace palaver::test {
namespace {

using std::chrono::milliseconds;

// A whole line, then the first half of another; `end` then ends the connection.
void torn_second_line(Peer& peer, void (Peer::*end)()) {
    auto second = talk(7, kOwnId, "torn in two");
    peer.send(talk(7, kOwnId, "whole"));
    peer.send(second.data(), second.size() / 2);
    std::this_thread::sleep_for(milliseconds(50));
    (peer.*end)();
}

TEST_F(ClientFaults, CloseInsideAMessageKeepsTheWholeOnesAndEndsTheConnection) {
    log_in([](Peer& peer) { torn_second_line(peer, &Peer::close); });
    EXPECT_EQ(lines(1), std::vector<std::string>{"whole"});
    EXPECT_TRUE(wait_for([] { return !chatComunicate::IsConnected(); }));
    EXPECT_EQ(lines(2, 200).size(), 1u);  // the torn line never shows up
}

TEST_F(ClientFaults, ResetInsideAMessageKeepsTheWholeOnesAndEndsTheConnection) {
    log_in([](Peer& peer) { torn_second_line(peer, &Peer::reset); });
    EXPECT_EQ(lines(1), std::vector<std::string>{"whole"});
    EXPECT_TRUE(wait_for([] { return !chatComunicate::IsConnected(); }));
    EXPECT_EQ(lines(2, 200).size(), 1u);
}

TEST_F(ClientFaults, StallsLongerThanTheReceiveTimeoutKeepTheStreamInStep) {
    // Stalls of 3.5 receive time-outs: after the first byte of a length field,
    // and in the middle of a text; each message must still arrive whole.
    std::atomic<bool> shortened{false};
    log_in([&shortened](Peer& peer) {
        wait_for([&] { return shortened.load(); });
        auto a = talk(7, kOwnId, "first, cut after one byte");
        auto b = talk(8, kOwnId, std::string(200, 'b') + " cut in its text");
        peer.send(a.data(), 1);
        std::this_thread::sleep_for(milliseconds(350));
        peer.send(a.data() + 1, a.size() - 1);
        peer.send(b.data(), 100);
        std::this_thread::sleep_for(milliseconds(350));
        peer.send(b.data() + 100, b.size() - 100);
        peer.send(talk(9, kOwnId, "third"));
        peer.drain_until_closed(5000);
    });
    // The short time-out goes on the live connection only; the read under way
    // when it is set keeps the old one until the first byte comes.
    ASSERT_TRUE(platform::set_receive_timeout(default_client().connection.socket.load(), 100));
    shortened = true;
    auto got = lines(3);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0], "first, cut after one byte");
    EXPECT_EQ(got[1], std::string(200, 'b') + " cut in its text");
    EXPECT_EQ(got[2], "third");
    EXPECT_TRUE(chatComunicate::IsConnected());
}

TEST_F(ClientFaults, LogoutDuringHeavyReceiveReturnsPromptlyAndLosesNoOrder) {
    log_in([](Peer& peer) {
        // Floods numbered lines until the module hangs up (bounded all the same).
        for (int i = 0; i < 2000000; ++i) {
            if (!peer.send(talk(7, kOwnId, "n" + std::to_string(i)))) {
                return;
            }
        }
    });
    ASSERT_FALSE(lines(1000).size() < 1000);
    auto start = std::chrono::steady_clock::now();
    chatComunicate::Logout();
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, milliseconds(1000));
    EXPECT_FALSE(chatComunicate::IsConnected());

    // What arrived is an unbroken prefix of the flood.
    std::vector<stChatContent> rest;
    chatComunicate::GetTalk(rest);
    for (auto& l : rest) {
        texts_.push_back(l.text);
    }
    for (std::size_t i = 0; i < texts_.size(); ++i) {
        ASSERT_EQ(texts_[i], "n" + std::to_string(i));
    }
}

}  // namespace
}  // namespace palaver::test
