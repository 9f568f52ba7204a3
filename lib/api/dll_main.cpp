// The module's entry point on Windows. The runtime constructs the client
// state (Winsock's start-up first, then the stores, then the locks, which are
// members of the state) before the entry point sees the load, and destroys it
// after the entry point has seen the unload; the state's destructor ends a
// connection the host left open.
#include <windows.h>

#include "lib/api/default_client.h"
#include "lib/platform/process_exit.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    switch (reason) {
        case DLL_PROCESS_ATTACH:
            // Without Winsock no call could work: refuse to load, so that
            // LoadLibrary fails and the host sees an error.
            return palaver::network().started() ? TRUE : FALSE;
        case DLL_PROCESS_DETACH:
            if (reserved != nullptr) {
                // The process is ending and its other threads are gone.
                palaver::platform::note_process_exit();
            }
            return TRUE;
        default:
            return TRUE;
    }
}
