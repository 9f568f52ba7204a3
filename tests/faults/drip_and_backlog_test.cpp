// Slow and fast extremes of the same stream: a long scene that arrives one
// byte per segment must leave the room exactly as a plain reading of the
// scene says, and a host that stops polling while 100,000 lines arrive must
// later get every one of them once, in order.
#include <cstring>
#include <map>

#include "tests/faults/client_fixture.h"
#include "tests/support/room_model.h"

namespace palaver::test {
namespace {

std::vector<std::uint8_t> long_scene() {
    std::vector<std::uint8_t> scene;
    auto add = [&](const std::vector<std::uint8_t>& m) {
        scene.insert(scene.end(), m.begin(), m.end());
    };
    std::vector<stUserInfo> room;
    for (int id = 1; id <= 6; ++id) {
        room.push_back(user(id, "seated" + std::to_string(id)));
    }
    add(room_list(room));
    for (int i = 0; i < 100; ++i) {
        const int id = 100 + i;
        add(user_entered(user(id, "u" + std::to_string(i))));
        add(talk(id, kOwnId, "hello " + std::to_string(i), i % 2 == 0 ? 1 : 0));
        add(talk(id, i % 7, std::string("/@/") + static_cast<char>('a' + i % 5)));
        add(users_updated({user(id, "v" + std::to_string(i), {2, 2, 2, 2})}));
        if (i % 3 == 0) {
            add(users_left({id, i % 6 + 1}));
        }
    }
    add(users_updated({user(kOwnId, "renamed me")}));
    add(talk(1, kOwnId, "end of scene"));
    return scene;
}

TEST_F(ClientFaults, AByteByByteDripOfALongSceneEndsInTheSameRoom) {
    const auto scene = long_scene();
    log_in([&scene](Peer& peer) {
        for (std::uint8_t byte : scene) {
            if (!peer.send(&byte, 1)) {
                return;
            }
        }
        peer.drain_until_closed(10000);
    });

    RoomModel model;
    model.self = user(kOwnId, "me");
    ASSERT_EQ(model.run(scene.data(), scene.size()), scene.size());

    auto got = lines(model.talk.size(), 20000);
    ASSERT_EQ(got.size(), model.talk.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i], model.talk[i].text) << "line " << i;
    }
    std::set<stUserInfo> users;
    chatComunicate::GetUserList(users);
    ASSERT_EQ(users.size(), model.users.size());
    for (const auto& u : users) {
        ASSERT_EQ(model.users.count(u.userId), 1u) << u.userId;
        EXPECT_EQ(std::memcmp(&u, &model.users[u.userId], sizeof u), 0) << u.userId;
    }
    std::vector<stActionContent> actions;
    chatComunicate::GetActionList(actions);
    ASSERT_EQ(actions.size(), model.actions.size());
    for (std::size_t i = 0; i < actions.size(); ++i) {
        EXPECT_EQ(actions[i].sender, model.actions[i].sender);
        EXPECT_EQ(actions[i].target, model.actions[i].target);
        EXPECT_EQ(actions[i].action, model.actions[i].action);
    }
    EXPECT_STREQ(chatComunicate::GetUserMySelf()->name, "renamed me");
    EXPECT_TRUE(chatComunicate::IsConnected());
}

TEST_F(ClientFaults, AHostThatStopsPollingGetsAllHundredThousandLinesInOrderLater) {
    constexpr int kLines = 100000;
    std::atomic<bool> sent{false};
    log_in([&sent](Peer& peer) {
        std::vector<std::uint8_t> batch;
        for (int i = 0; i < kLines; ++i) {
            auto m = talk(7, kOwnId, "line " + std::to_string(i));
            batch.insert(batch.end(), m.begin(), m.end());
            if (batch.size() > 60000 || i == kLines - 1) {
                if (!peer.send(batch)) {
                    return;
                }
                batch.clear();
            }
        }
        sent = true;
        peer.drain_until_closed(30000);
    });
    // 8 to 16 s with ThreadSanitizer, over 30 s on a loaded machine.
    ASSERT_TRUE(wait_for([&] { return sent.load(); }, 90000));

    auto got = lines(kLines, 30000);
    ASSERT_EQ(got.size(), static_cast<std::size_t>(kLines));
    for (int i = 0; i < kLines; ++i) {
        ASSERT_EQ(got[i], "line " + std::to_string(i));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::vector<stChatContent> more;
    chatComunicate::GetTalk(more);
    EXPECT_TRUE(more.empty()) << more.size() << " lines after the last one";
}

}  // namespace
}  // namespace palaver::test
