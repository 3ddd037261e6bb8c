// Library entry point on Windows: the client state exists from DLL_PROCESS_ATTACH until the DLL goes.
//
// FreeLibrary (reserved is null) runs the ordered unload under the loader lock. That works because
// every thread of the library is a LibraryThread, whose join waits for the end of the thread's body and
// never for the thread's exit, which would need the loader lock this thread holds.
//
// At process exit (reserved is not null) every other thread has already been killed, wherever it was,
// possibly holding a lock of the library; the unload is skipped and the system reclaims everything.
#include <windows.h>

#include "api/lifetime.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved) {
    switch (reason) {
        case DLL_PROCESS_ATTACH:
            DisableThreadLibraryCalls(module);
            try {
                sdk::LoadClientState();
            } catch (...) {
                return FALSE;  // out of memory: the load fails instead of leaving a library without state
            }
            break;
        case DLL_PROCESS_DETACH:
            if (reserved == nullptr) {
                try {
                    sdk::UnloadClientState();
                } catch (...) {
                    // Nothing can be reported from here; what is left stays allocated.
                }
            }
            break;
        default:
            break;
    }
    return TRUE;
}
