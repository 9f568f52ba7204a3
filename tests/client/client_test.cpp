#include "client_test.h"

#include <algorithm>
#include <future>

#include "lib/connection/timing.h"

namespace palaver::test {

stUserInfo host_user() {
    return user(0, "me", {0, 0, 0, 0}, 0x5C);
}

stUserInfo self_user() {
    return user(kSelfId, "me", kSelfKey, 0x3A);
}

std::vector<std::int32_t> ids_of(const std::set<stUserInfo>& users) {
    std::vector<std::int32_t> ids;
    for (const auto& u : users) {
        ids.push_back(u.userId);
    }
    return ids;
}

Bytes record_of(const std::set<stUserInfo>& users, std::int32_t id) {
    stUserInfo probe{};
    probe.userId = id;
    auto found = users.find(probe);
    return found == users.end() ? Bytes{} : bytes_of(*found);
}

void ClientTest::SetUp() {
    chatComunicate::Logout();
    timing().receiveTimeoutMs.store(Timing::kReceiveTimeoutMs);
    timing().loginLimitMs.store(Timing::kLoginLimitMs);
    timing().keepAlivePeriodMs.store(Timing::kKeepAlivePeriodMs);
    std::vector<stChatContent> lines;
    chatComunicate::GetTalk(lines);
    std::vector<stActionContent> acts;
    chatComunicate::GetActionList(acts);
    ASSERT_EQ(chatComunicate::SetServerIPandPort("127.0.0.1", server.port()), 1);
}

void ClientTest::TearDown() {
    chatComunicate::Logout();
}

int ClientTest::login_with(stUserInfo& user, const std::string& login, const Script& script) {
    auto result = std::async(
        std::launch::async, [&user, &login] { return chatComunicate::Login(user, login.c_str()); });
    if (server.accept()) {
        script(server);
    } else {
        ADD_FAILURE() << "Login did not connect";
    }
    if (HasFailure()) {
        server.close();  // a Login still waiting for its reply gives up at once
    }
    return result.get();
}

int ClientTest::login_replying(const Bytes& reply, stUserInfo& user) {
    const stUserInfo sent = user;
    return login_with(user, "secret", [&](FakeServer& s) {
        ASSERT_TRUE(s.expect(login_request(sent, "secret")));
        s.send(reply);
    });
}

void ClientTest::log_in(const std::vector<stUserInfo>& others, const stUserInfo& self) {
    std::vector<stUserInfo> group{self};
    group.insert(group.end(), others.begin(), others.end());
    stUserInfo host = host_user();
    ASSERT_EQ(login_replying(login_reply(1, {group}), host), 1);
    ASSERT_TRUE(chatComunicate::IsConnected());
}

std::vector<stChatContent> ClientTest::sync() {
    static int counter = 0;
    const std::int32_t marker = 0x5A5A5A5A;
    const std::string text = "sync " + std::to_string(++counter);
    server.send(talk(marker, marker, text));
    std::vector<stChatContent> lines;
    auto isMarker = [&](const stChatContent& l) { return l.sender == marker && l.text == text; };
    bool seen = eventually([&] {
        chatComunicate::GetTalk(lines);
        return std::any_of(lines.begin(), lines.end(), isMarker);
    });
    EXPECT_TRUE(seen) << "the receive thread never delivered the marker line";
    lines.erase(std::find_if(lines.begin(), lines.end(), isMarker), lines.end());
    return lines;
}

std::set<stUserInfo> ClientTest::users() {
    std::set<stUserInfo> out;
    chatComunicate::GetUserList(out);
    return out;
}

std::vector<stActionContent> ClientTest::actions() {
    std::vector<stActionContent> out;
    chatComunicate::GetActionList(out);
    return out;
}

}  // namespace palaver::test
