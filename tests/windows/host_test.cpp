// Palaver.dll as a Windows host uses it: loaded with LoadLibrary, driven
// through its exports, and unloaded with FreeLibrary, whether or not the host
// logged out first.
// winsock2.h must come before windows.h.
#include <winsock2.h>

#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "loopback_server.h"
#include "palaver_module.h"

namespace {

using namespace std::chrono_literals;

constexpr auto kPatience = 10s;

std::vector<std::uint8_t> logout_notice() {
    const unsigned char* k = LoopbackServer::kKey;
    return {5, 0, 2, k[0], k[1], k[2], k[3]};
}

std::vector<stChatContent> poll_talk(const PalaverModule& dll) {
    std::vector<stChatContent> lines;
    auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (lines.empty() && std::chrono::steady_clock::now() < deadline) {
        dll.GetTalk(lines);
        std::this_thread::sleep_for(10ms);
    }
    return lines;
}

// Logs in as "guest"; the server answers with the own record (id 7).
int log_in(const PalaverModule& dll, const LoopbackServer& server) {
    if (dll.SetServerIPandPort("127.0.0.1", server.port()) != 1) {
        return 0;
    }
    stUserInfo me = LoopbackServer::user(1, "guest");
    return dll.Login(me, "secret");
}

bool all_zero(const stUserInfo& u) {
    stUserInfo zero{};
    return std::memcmp(&u, &zero, sizeof zero) == 0;
}

TEST(PalaverDll, PlaceholdersAndEmptyStateRightAfterLoading) {
    PalaverModule dll;
    EXPECT_EQ(dll.fnPalaver(), 42);
    EXPECT_EQ(*dll.nPalaver(), 0);

    // CPalaver has no data members; the host provides the object's byte.
    auto construct = dll.get<void (*)(void*)>("_ZN8CPalaverC1Ev");
    auto assign = dll.get<void* (*)(void*, const void*)>("_ZN8CPalaveraSERKS_");
    unsigned char a = 0x5A, b = 0xA5;
    construct(&a);
    construct(&b);
    EXPECT_EQ(assign(&a, &b), &a);
    EXPECT_EQ(a, 0x5A);

    std::vector<stChatContent> lines;
    dll.GetTalk(lines);
    EXPECT_TRUE(lines.empty());
    std::set<stUserInfo> users;
    dll.GetUserList(users);
    EXPECT_TRUE(users.empty());
    EXPECT_TRUE(all_zero(*dll.GetUserMySelf()));
    EXPECT_FALSE(dll.IsConnected());
    EXPECT_TRUE(dll.unload());
}

TEST(PalaverDll, LogsInTalksPollsAndLogsOut) {
    LoopbackServer server;
    PalaverModule dll;
    ASSERT_EQ(dll.SetServerIPandPort("127.0.0.1", server.port()), 1);
    stUserInfo me = LoopbackServer::user(1, "guest");
    ASSERT_EQ(dll.Login(me, "secret"), 1);
    EXPECT_EQ(me.userId, LoopbackServer::kOwnId);
    EXPECT_EQ(dll.GetUserMySelf()->userId, LoopbackServer::kOwnId);
    EXPECT_TRUE(dll.IsConnected());

    {
        // The line's text was allocated inside the library; the host's vector
        // frees it here, on the one shared heap.
        std::vector<stChatContent> lines = poll_talk(dll);
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].sender, LoopbackServer::kOtherId);
        EXPECT_EQ(lines[0].target, LoopbackServer::kOwnId);
        EXPECT_EQ(lines[0].text, LoopbackServer::kGreeting);
        std::set<stUserInfo> users;
        dll.GetUserList(users);
        ASSERT_EQ(users.size(), 1u);
        EXPECT_EQ(users.begin()->userId, LoopbackServer::kOtherId);
    }

    EXPECT_TRUE(dll.SendTalk(LoopbackServer::kOtherId, "hi", false));
    dll.Logout();
    EXPECT_FALSE(dll.IsConnected());
    ASSERT_TRUE(server.wait_closed(kPatience));

    const unsigned char* k = LoopbackServer::kKey;
    std::vector<std::uint8_t> expected = {17, 0,    3,    7,    0,    0, 0,   9,   0, 0,
                                          0,  k[0], k[1], k[2], k[3], 0, 'h', 'i', 0};
    auto goodbye = logout_notice();
    expected.insert(expected.end(), goodbye.begin(), goodbye.end());
    EXPECT_EQ(server.received(), expected);
    EXPECT_TRUE(dll.unload());
}

TEST(PalaverDll, FreeLibraryWhileLoggedInEndsTheConnection) {
    LoopbackServer server;
    {
        PalaverModule dll;
        ASSERT_EQ(log_in(dll, server), 1);
        // Both worker threads run: the receive thread has delivered the line.
        ASSERT_EQ(poll_talk(dll).size(), 1u);
        EXPECT_TRUE(dll.unload());
    }
    ASSERT_TRUE(server.wait_closed(kPatience));
    EXPECT_EQ(server.received(), logout_notice());

    // Loaded again, the module starts afresh.
    PalaverModule again;
    EXPECT_TRUE(all_zero(*again.GetUserMySelf()));
    EXPECT_FALSE(again.IsConnected());
}

TEST(PalaverDll, FreeLibraryRightAfterLoginEndsTheConnection) {
    LoopbackServer server;
    {
        PalaverModule dll;
        ASSERT_EQ(log_in(dll, server), 1);
        EXPECT_TRUE(dll.unload());
    }
    ASSERT_TRUE(server.wait_closed(kPatience));
    EXPECT_EQ(server.received(), logout_notice());
}

TEST(PalaverDll, FreeLibraryAfterTheServerHungUpDoesNotWaitForIt) {
    // The receive thread has ended on its own; the keep-alive thread still
    // waits for its next turn.
    LoopbackServer server(LoopbackServer::After::HangUp);
    {
        PalaverModule dll;
        ASSERT_EQ(log_in(dll, server), 1);
        auto deadline = std::chrono::steady_clock::now() + kPatience;
        while (dll.IsConnected() && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(10ms);
        }
        EXPECT_FALSE(dll.IsConnected());
        EXPECT_TRUE(dll.unload());
    }
    PalaverModule again;
    EXPECT_FALSE(again.IsConnected());
}

TEST(PalaverDll, ProcessExitWhileLoggedInEndsPromptly) {
    LoopbackServer server;
    char self[MAX_PATH];
    DWORD size = GetModuleFileNameA(nullptr, self, MAX_PATH);
    ASSERT_GT(size, 0u);
    std::string path(self, size);
    path.erase(path.find_last_of("\\/") + 1);
    path += "palaver_exit_child.exe";
    std::string command = "\"" + path + "\" " + std::to_string(server.port());

    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child{};
    ASSERT_TRUE(CreateProcessA(path.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                               nullptr, &startup, &child));
    DWORD waited = WaitForSingleObject(child.hProcess, 30000);
    DWORD code = 1;
    GetExitCodeProcess(child.hProcess, &code);
    if (waited != WAIT_OBJECT_0) {
        TerminateProcess(child.hProcess, 99);
    }
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
    EXPECT_EQ(waited, static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(code, 0u);  // 2: the child could not log in
}

}  // namespace
