// Logs in through Palaver.dll and ends the process without logging out or
// unloading: the module then sees the process end with its worker threads
// already stopped by the system. Exit status 0 when the login worked.
// winsock2.h must come before windows.h.
#include <winsock2.h>

#include <windows.h>

#include <cstdlib>

#include "loopback_server.h"
#include "palaver_module.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        return 3;
    }
    PalaverModule dll;
    stUserInfo me = LoopbackServer::user(1, "guest");
    if (dll.SetServerIPandPort("127.0.0.1", std::atoi(argv[1])) != 1 ||
        dll.Login(me, "secret") != 1) {
        return 2;
    }
    ExitProcess(0);  // no Logout, no FreeLibrary: the module stays loaded
}
