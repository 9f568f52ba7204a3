// Palaver.dll loaded the way a host program loads it: LoadLibrary, then the
// exports looked up by their (GCC-mangled) names.
#ifndef PALAVER_TESTS_WINDOWS_PALAVER_MODULE_H
#define PALAVER_TESTS_WINDOWS_PALAVER_MODULE_H

// winsock2.h must come before windows.h.
#include <winsock2.h>

#include <windows.h>

#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "Palaver.h"

class PalaverModule {
  public:
    PalaverModule() : module_(LoadLibraryW(L"Palaver.dll")) {
        if (module_ == nullptr) {
            throw std::runtime_error("LoadLibrary(Palaver.dll) failed: " +
                                     std::to_string(GetLastError()));
        }
    }
    ~PalaverModule() { unload(); }
    PalaverModule(const PalaverModule&) = delete;
    PalaverModule& operator=(const PalaverModule&) = delete;

    bool unload() {
        if (module_ == nullptr) {
            return true;
        }
        BOOL freed = FreeLibrary(module_);
        module_ = nullptr;
        return freed != FALSE;
    }

    // The export `name` as a pointer of type T; throws when it is missing.
    template <typename T>
    T get(const char* name) const {
        FARPROC found = GetProcAddress(module_, name);
        if (found == nullptr) {
            throw std::runtime_error(std::string("missing export ") + name);
        }
        return reinterpret_cast<T>(reinterpret_cast<void*>(found));
    }

    int fnPalaver() const { return get<int (*)()>("_Z9fnPalaverv")(); }
    int* nPalaver() const { return get<int*>("nPalaver"); }
    int SetServerIPandPort(const char* address, int port) const {
        return get<int (*)(const char*, int)>("_ZN14chatComunicate18SetServerIPandPortEPKci")(
            address, port);
    }
    int Login(stUserInfo& user, const char* login) const {
        return get<int (*)(stUserInfo&, const char*)>("_ZN14chatComunicate5LoginER10stUserInfoPKc")(
            user, login);
    }
    void Logout() const { get<void (*)()>("_ZN14chatComunicate6LogoutEv")(); }
    bool IsConnected() const { return get<bool (*)()>("_ZN14chatComunicate11IsConnectedEv")(); }
    bool SendTalk(int target, const char* text, bool whisper) const {
        return get<bool (*)(int, const char*, bool)>("_ZN14chatComunicate8SendTalkEiPKcb")(
            target, text, whisper);
    }
    void GetTalk(std::vector<stChatContent>& lines) const {
        get<void (*)(std::vector<stChatContent>&)>(
            "_ZN14chatComunicate7GetTalkERSt6vectorI13stChatContentSaIS1_EE")(lines);
    }
    void GetUserList(std::set<stUserInfo>& users) const {
        get<void (*)(std::set<stUserInfo>&)>(
            "_ZN14chatComunicate11GetUserListERSt3setI10stUserInfoSt4lessIS1_ESaIS1_EE")(users);
    }
    stUserInfo* GetUserMySelf() const {
        return get<stUserInfo* (*)()>("_ZN14chatComunicate13GetUserMySelfEv")();
    }

  private:
    HMODULE module_;
};

#endif
