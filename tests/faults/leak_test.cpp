// A thousand connections on one loaded module: each logs in, talks and logs
// out. The process must end with the descriptors and threads it began with;
// the AddressSanitizer build also checks that no allocation outlives them.
#include "tests/faults/client_fixture.h"

namespace palaver::test {
namespace {

TEST_F(ClientFaults, AThousandLoginTalkLogoutRoundsLeaveNothingBehind) {
    constexpr int kRounds = 1000;
    // Each connection reads the client's Talk, then waits for it to hang up;
    // the module's keep-alives, every 2 ms here, go to the same drain.
    timing().keepAlivePeriodMs = 2;
    server_.serve(after_login(
                      [](Peer& peer) {
                          std::uint8_t talk[17 + 5];
                          peer.receive(talk, sizeof talk);
                          peer.drain_until_closed(2000);
                      },
                      {user(7, "other")}),
                  kRounds + 2);  // one more than come: the thread stays for both counts
    ASSERT_EQ(chatComunicate::SetServerIPandPort("127.0.0.1", server_.port()), 1);

    auto round = [] {
        stUserInfo user = test::user(kOwnId, "me");
        if (chatComunicate::Login(user, "secret") != 1) {
            return false;
        }
        bool talked = chatComunicate::SendTalk(7, "hello", false);
        chatComunicate::Logout();
        return talked;
    };
    // The first round settles whatever is made once per process.
    ASSERT_TRUE(round());
    // Counted once the fake server has seen the hang-up and closed its end.
    ASSERT_TRUE(wait_for([&] { return server_.finished() == 1; }));
    const std::size_t fds = open_descriptors();
    const std::size_t threads = running_threads();

    for (int i = 0; i < kRounds; ++i) {
        ASSERT_TRUE(round()) << "round " << i;
    }
    EXPECT_FALSE(chatComunicate::IsConnected());
    EXPECT_TRUE(wait_for([&] { return open_descriptors() == fds; }, 2000))
        << open_descriptors() << " descriptors, " << fds << " before";
    EXPECT_TRUE(wait_for([&] { return running_threads() == threads; }, 2000))
        << running_threads() << " threads, " << threads << " before";
}

}  // namespace
}  // namespace palaver::test
