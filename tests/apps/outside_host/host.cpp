// The smallest host: loads the library, looks at the own record, fails to
// log in to a closed port and drains the empty queues into its own containers.
// Built as C++11 on purpose: the installed headers must not need more.
#include <Palaver.h>
#include <PalaverProfile.h>

#include <cstdio>
#include <set>
#include <vector>

int main() {
    int failures = 0;
    auto check = [&failures](bool ok, const char* what) {
        if (!ok) {
            std::printf("FAILED: %s\n", what);
            ++failures;
        }
    };
    fnPalaver();
    stUserInfo* self = chatComunicate::GetUserMySelf();
    check(self != nullptr && self->userId == 0 && self->name[0] == '\0', "own record all zero");
    check(!chatComunicate::IsConnected(), "not connected before Login");

    stUserInfo user = stUserInfo();
    palaver::profile::set_name(user, "outsider");
    palaver::profile::set_room(user, 3);
    check(palaver::profile::room(user) == 3, "profile helpers");
    // Port 1 on loopback refuses at once: Login reports no connection.
    check(chatComunicate::SetServerIPandPort("127.0.0.1", 1) == 1, "address stored");
    check(chatComunicate::Login(user, "") == 0, "Login to a closed port gives 0");
    check(!chatComunicate::SendTalk(-1, "hello", false), "no talk without a connection");

    std::set<stUserInfo> users;
    std::vector<stChatContent> lines;
    std::vector<stActionContent> actions;
    chatComunicate::GetUserList(users);
    chatComunicate::GetTalk(lines);
    chatComunicate::GetActionList(actions);
    check(users.empty() && lines.empty() && actions.empty(), "nothing queued");
    if (failures == 0) {
        std::printf("outside host OK\n");
    }
    return failures == 0 ? 0 : 1;
}
