// What every fault test of the library starts from: a short keep-alive
// period, a fake server, a logged-in module, and the counts of descriptors and
// threads the process held before, to check that nothing outlives the
// connection.
#ifndef PALAVER_TESTS_FAULTS_CLIENT_FIXTURE_H
#define PALAVER_TESTS_FAULTS_CLIENT_FIXTURE_H

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Palaver.h"
#include "lib/connection/timing.h"
#include "protocol/client_messages.h"
#include "tests/support/deadline.h"
#include "tests/support/fake_server.h"
#include "tests/support/messages.h"
#include "tests/support/proc_stats.h"

namespace palaver::test {

constexpr std::int32_t kOwnId = 42;

// Polls `done` until it holds or `ms` pass.
template <typename F>
bool wait_for(F&& done, int ms = 5000) {
    return eventually(std::forward<F>(done), Ms(ms));
}

class ClientFaults : public ::testing::Test {
  protected:
    void SetUp() override {
        // Login's limit and the receive time-out stay the real ones: a loaded
        // machine may take more than a few hundred ms to answer a Login.
        timing().keepAlivePeriodMs = 50;
        timing().loginLimitMs = Timing::kLoginLimitMs;
        // ThreadSanitizer starts a helper thread of its own with the first
        // thread the process makes: let that happen before counting.
        std::thread([] {}).join();
        descriptors_ = open_descriptors();
        threads_ = running_threads();
    }

    void TearDown() override {
        chatComunicate::Logout();
        server_.join();
        EXPECT_TRUE(wait_for([&] { return running_threads() == threads_; }, 2000))
            << running_threads() << " threads, " << threads_ << " before";
        EXPECT_TRUE(wait_for([&] { return open_descriptors() == descriptors_; }, 2000))
            << open_descriptors() << " descriptors, " << descriptors_ << " before";
    }

    // `script` after the login reply for the module's own user and `others`.
    static FakeServer::Script after_login(FakeServer::Script script,
                                          std::vector<stUserInfo> others = {}) {
        std::vector<std::vector<stUserInfo>> groups{{user(kOwnId, "me")}};
        if (!others.empty()) {
            groups.push_back(std::move(others));
        }
        Bytes reply = login_reply(static_cast<std::int32_t>(groups.size()), groups);
        return [reply = std::move(reply), script = std::move(script)](Peer& peer) {
            std::uint8_t request[kLoginRequestSize];
            if (peer.receive(request, sizeof request) && peer.send(reply)) {
                script(peer);
            }
        };
    }

    // Serves one client with `script` and logs the module in to it.
    void log_in(FakeServer::Script script, std::vector<stUserInfo> others = {}) {
        server_.serve(after_login(std::move(script), std::move(others)));
        ASSERT_EQ(chatComunicate::SetServerIPandPort("127.0.0.1", server_.port()), 1);
        stUserInfo user = test::user(kOwnId, "me");
        ASSERT_EQ(chatComunicate::Login(user, "secret"), 1);
    }

    // Collects chat lines until `count` have arrived or `ms` pass.
    std::vector<std::string> lines(std::size_t count, int ms = 5000) {
        wait_for(
            [&] {
                std::vector<stChatContent> more;
                chatComunicate::GetTalk(more);
                for (auto& l : more) {
                    texts_.push_back(l.text);
                }
                return texts_.size() >= count;
            },
            ms);
        return texts_;
    }

    FakeServer server_;
    std::vector<std::string> texts_;
    std::size_t descriptors_ = 0;
    std::size_t threads_ = 0;
};

}  // namespace palaver::test

#endif
