// The shared library as a host loads it: a fresh module's state, the
// placeholder exports, and an unload while still logged in. Links nothing of
// the library; every function comes through dlsym.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "Palaver.h"
#include "fake_server.h"
#include "palaver_c.h"

namespace palaver::test {
namespace {

class Module {
  public:
    Module() : handle_(dlopen(PALAVER_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL)) {}
    ~Module() { unload(); }
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    bool loaded() const { return handle_ != nullptr; }
    int unload() {
        int rc = handle_ ? dlclose(handle_) : 0;
        handle_ = nullptr;
        return rc;
    }

    template <class F>
    F* get(const char* mangled) {
        void* symbol = handle_ ? dlsym(handle_, mangled) : nullptr;
        EXPECT_NE(symbol, nullptr) << mangled;
        return reinterpret_cast<F*>(symbol);
    }

  private:
    void* handle_;
};

// The exported functions a test here calls.
struct Api {
    explicit Api(Module& m)
        : setServer(m.get<int(const char*, int)>("_ZN14chatComunicate18SetServerIPandPortEPKci")),
          login(m.get<int(stUserInfo&, const char*)>("_ZN14chatComunicate5LoginER10stUserInfoPKc")),
          logout(m.get<void()>("_ZN14chatComunicate6LogoutEv")),
          isConnected(m.get<bool()>("_ZN14chatComunicate11IsConnectedEv")),
          changeName(m.get<bool(char*)>("_ZN14chatComunicate10ChangeNameEPc")),
          self(m.get<stUserInfo*()>("_ZN14chatComunicate13GetUserMySelfEv")),
          userList(m.get<void(std::set<stUserInfo>&)>(
              "_ZN14chatComunicate11GetUserListERSt3setI10stUserInfoSt4lessIS1_ESaIS1_EE")),
          talk(m.get<void(std::vector<stChatContent>&)>(
              "_ZN14chatComunicate7GetTalkERSt6vectorI13stChatContentSaIS1_EE")),
          actions(m.get<void(std::vector<stActionContent>&)>(
              "_ZN14chatComunicate13GetActionListERSt6vectorI15stActionContentSaIS1_EE")) {}

    int (*setServer)(const char*, int);
    int (*login)(stUserInfo&, const char*);
    void (*logout)();
    bool (*isConnected)();
    bool (*changeName)(char*);
    stUserInfo* (*self)();
    void (*userList)(std::set<stUserInfo>&);
    void (*talk)(std::vector<stChatContent>&);
    void (*actions)(std::vector<stActionContent>&);
};

TEST(ModuleLoad, PlaceholderExportsWork) {
    Module m;
    ASSERT_TRUE(m.loaded()) << dlerror();
    auto fn = m.get<int()>("_Z9fnPalaverv");
    auto n = m.get<int>("nPalaver");
    auto construct = m.get<void(CPalaver*)>("_ZN8CPalaverC1Ev");
    auto assign = m.get<CPalaver&(CPalaver*, const CPalaver&)>("_ZN8CPalaveraSERKS_");
    ASSERT_TRUE(fn && n && construct && assign);
    EXPECT_EQ(fn(), 42);
    EXPECT_EQ(*n, 0);
    CPalaver* a = static_cast<CPalaver*>(static_cast<void*>(new char[1]));
    CPalaver* b = static_cast<CPalaver*>(static_cast<void*>(new char[1]));
    construct(a);
    construct(b);
    EXPECT_EQ(&assign(a, *b), a);
    delete[] reinterpret_cast<char*>(a);
    delete[] reinterpret_cast<char*>(b);
    EXPECT_EQ(*n, 0);
}

TEST(ModuleLoad, AFreshModuleStartsEmptyAndNeedsAnAddress) {
    Module m;
    ASSERT_TRUE(m.loaded()) << dlerror();
    Api api(m);
    ASSERT_FALSE(::testing::Test::HasFailure());

    const stUserInfo* self = api.self();
    ASSERT_NE(self, nullptr);
    EXPECT_EQ(std::vector<char>(reinterpret_cast<const char*>(self),
                                reinterpret_cast<const char*>(self) + sizeof *self),
              std::vector<char>(sizeof *self, 0));
    std::set<stUserInfo> users;
    api.userList(users);
    std::vector<stChatContent> lines;
    api.talk(lines);
    std::vector<stActionContent> actions;
    api.actions(actions);
    EXPECT_TRUE(users.empty() && lines.empty() && actions.empty());

    // The own name is empty, so an empty name is already it.
    char empty[] = "";
    EXPECT_TRUE(api.changeName(empty));

    auto start = std::chrono::steady_clock::now();
    api.logout();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));

    stUserInfo host{};
    EXPECT_EQ(api.login(host, "secret"), 0) << "no address was set";
    EXPECT_FALSE(api.isConnected());
}

TEST(ModuleLoad, UnloadingWhileLoggedInEndsTheConnection) {
    FakeServer server;
    Module m;
    ASSERT_TRUE(m.loaded()) << dlerror();
    Api api(m);
    ASSERT_FALSE(::testing::Test::HasFailure());
    ASSERT_EQ(api.setServer("127.0.0.1", server.port()), 1);

    stUserInfo host{};
    host.userId = 1;
    int result = 0;
    std::thread login([&] { result = api.login(host, "secret"); });
    bool accepted = server.accept();
    if (accepted) {
        EXPECT_TRUE(server.read(106).has_value());
        // Status 1, one group with the own record (id 77, location key 1 2 3 4).
        stUserInfo own{};
        own.userId = 77;
        own.locationKey[0] = 1;
        own.locationKey[1] = 2;
        own.locationKey[2] = 3;
        own.locationKey[3] = 4;
        server.send(ByteWriter().i32(1).i32(1).raw(&own, sizeof own));
    }
    login.join();
    ASSERT_TRUE(accepted);
    ASSERT_EQ(result, 1);
    ASSERT_TRUE(api.isConnected());

    EXPECT_EQ(m.unload(), 0);
    // The module said goodbye and closed its socket on the way out.
    EXPECT_TRUE(server.expect({5, 0, 2, 1, 2, 3, 4}));
    EXPECT_TRUE(server.expect_closed());
}

// One version everywhere: the header a host compiles against, what the loaded
// library reports, the file name the build gives it and the export map's
// version node.
TEST(ModuleLoad, HeaderLibraryFileAndSymbolVersionsAgree) {
    Module m;
    ASSERT_TRUE(m.loaded()) << dlerror();
    const std::string major = std::to_string(PALAVER_VERSION_MAJOR);
    const std::string minor = std::to_string(PALAVER_VERSION_MINOR);
    const std::string header = major + "." + minor + "." + std::to_string(PALAVER_VERSION_PATCH);
    auto version = m.get<const char*()>("palaver_version");
    ASSERT_NE(version, nullptr);
    EXPECT_EQ(version(), header);

    char real[PATH_MAX];
    ASSERT_NE(realpath(PALAVER_LIBRARY_PATH, real), nullptr);
    const std::string file(real);
    const std::string suffix = ".so." + header;
    EXPECT_EQ(
        file.compare(file.size() - std::min(file.size(), suffix.size()), suffix.size(), suffix), 0)
        << file;

    void* handle = dlopen(PALAVER_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD);
    ASSERT_NE(handle, nullptr);
    // The oldest node still resolves, and a function of the newest.
    EXPECT_NE(dlvsym(handle, "palaver_version", "PALAVER_1.2"), nullptr);
    const std::string node = "PALAVER_" + major + "." + minor;
    EXPECT_NE(dlvsym(handle, "palaver_process", node.c_str()), nullptr) << node;
    dlclose(handle);
}

}  // namespace
}  // namespace palaver::test
