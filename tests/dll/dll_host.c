/*
 * Loads a DLL at run time as an application does, gets its threads going and lets go of it again, to
 * show that FreeLibrary returns and leaves the process working, and that a process exits promptly with
 * the threads still running.
 *
 *   veltari_dll_host MODE PATH-OF-DLL
 *     unload        veltari.dll: handshake, key-press registration and asynchronous calls (those the DLL
 *                   exports), FreeLibrary; then load it again and check that the state is fresh
 *     exit          veltari.dll: the same start, then return from main with the threads running
 *     probe-unload  the thread probe DLL: start threads, FreeLibrary, check that they ended; twice
 *     probe-exit    the thread probe DLL: start threads, then return from main
 *
 * Exit codes: 0 success; 2 usage; 3 the DLL does not load; 4 an export is missing or foreign; 5 a call
 * failed; 6 threads did not end; 7 the state survived FreeLibrary; 8 time-out waiting for a callback;
 * 99 FreeLibrary did not return within a minute.
 */
#include <windows.h>

#include <stdio.h>
#include <string.h>
#include <wchar.h>

#include "veltari.h"

#define FREE_LIBRARY_LIMIT_MS 60000
#define CALLBACK_LIMIT_MS 20000

static const char* const kNames[] = {
    "VeltariPerformProtocolHandshake",  "VeltariGetLastError",
    "VeltariGetDeviceCount",            "VeltariGetDeviceInfo",
    "VeltariGetLedPositions",           "VeltariGetLedPositionsByDeviceIndex",
    "VeltariGetLedIdForKeyName",        "VeltariSetLedsColors",
    "VeltariGetLedsColors",             "VeltariGetLedsColorsByDeviceIndex",
    "VeltariSetLedsColorsBufferByDeviceIndex", "VeltariSetLedsColorsFlushBuffer",
    "VeltariSetLedsColorsAsync",        "VeltariSetLedsColorsFlushBufferAsync",
    "VeltariRequestControl",            "VeltariReleaseControl",
    "VeltariSetLayerPriority",          "VeltariGetBoolPropertyValue",
    "VeltariGetInt32PropertyValue",     "VeltariRegisterKeypressCallback",
};
#define NAME_COUNT ((int)(sizeof kNames / sizeof kNames[0]))

typedef VeltariProtocolDetails (*HandshakeFn)(void);
typedef VeltariError (*GetLastErrorFn)(void);
typedef int (*GetDeviceCountFn)(void);
typedef bool (*SetAsyncFn)(int, const VeltariLedColor*, VeltariAsyncCallback, void*);
typedef bool (*FlushAsyncFn)(VeltariAsyncCallback, void*);
typedef bool (*RegisterFn)(VeltariKeyPressCallback, void*);
typedef int (*ProbeStartFn)(int, volatile LONG*);

static HANDLE g_keyPressed;
static volatile LONG g_asyncFailures;

static void Say(const char* text) {
    printf("dll_host: %s\n", text);
    fflush(stdout);
}

/* Armed around each FreeLibrary. It runs from the start: a thread created while FreeLibrary holds the
 * loader lock could not start before FreeLibrary returns. */
static HANDLE g_watchdogArmed;
static HANDLE g_watchdogDisarmed;

static DWORD WINAPI Watchdog(LPVOID running) {
    SetEvent((HANDLE)running);
    for (;;) {
        WaitForSingleObject(g_watchdogArmed, INFINITE);
        if (WaitForSingleObject(g_watchdogDisarmed, FREE_LIBRARY_LIMIT_MS) != WAIT_OBJECT_0) {
            Say("FreeLibrary did not return");
            TerminateProcess(GetCurrentProcess(), 99);
        }
    }
    return 0;
}

static void StartWatchdog(void) {
    g_watchdogArmed = CreateEventW(NULL, FALSE, FALSE, NULL);
    g_watchdogDisarmed = CreateEventW(NULL, FALSE, FALSE, NULL);
    HANDLE running = CreateEventW(NULL, TRUE, FALSE, NULL);
    HANDLE thread = CreateThread(NULL, 0, Watchdog, running, 0, NULL);
    WaitForSingleObject(running, INFINITE);
    CloseHandle(thread);
}

static void FreeWithWatchdog(HMODULE module) {
    SetEvent(g_watchdogArmed);
    FreeLibrary(module);
    SetEvent(g_watchdogDisarmed);
}

/* Every name in the export table must resolve and be one of the library's; returns how many there are. */
static int CheckExports(HMODULE module) {
    const BYTE* base = (const BYTE*)module;
    const IMAGE_DOS_HEADER* dos = (const IMAGE_DOS_HEADER*)base;
    const IMAGE_NT_HEADERS* nt = (const IMAGE_NT_HEADERS*)(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY* dir = &nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    if (dir->Size == 0) {
        return 0;
    }
    const IMAGE_EXPORT_DIRECTORY* exports = (const IMAGE_EXPORT_DIRECTORY*)(base + dir->VirtualAddress);
    const DWORD* names = (const DWORD*)(base + exports->AddressOfNames);
    for (DWORD i = 0; i < exports->NumberOfNames; ++i) {
        const char* name = (const char*)(base + names[i]);
        int known = 0;
        for (int k = 0; k < NAME_COUNT; ++k) {
            known |= strcmp(name, kNames[k]) == 0;
        }
        if (!known || GetProcAddress(module, name) == NULL) {
            printf("dll_host: export %s is not one of the library's or does not resolve\n", name);
            return -1;
        }
    }
    return (int)exports->NumberOfNames;
}

static void OnKey(void* context, VeltariKeyId keyId, bool pressed) {
    (void)context;
    (void)keyId;
    (void)pressed;
    SetEvent(g_keyPressed);
}

static void OnAsyncDone(void* context, bool result, VeltariError error) {
    if (!result || error != VeltariErrorSuccess) {
        InterlockedIncrement(&g_asyncFailures);
    }
    SetEvent((HANDLE)context);
}

static int WaitFor(HANDLE event, const char* what) {
    if (WaitForSingleObject(event, CALLBACK_LIMIT_MS) != WAIT_OBJECT_0) {
        printf("dll_host: no %s within %d ms\n", what, CALLBACK_LIMIT_MS);
        return 8;
    }
    return 0;
}

/* Handshake, then every thread the DLL can start; returns 0 once they all run. */
static int StartLibraryThreads(HMODULE module) {
    const int exported = CheckExports(module);
    if (exported < 0) {
        return 4;
    }
    HandshakeFn handshake = (HandshakeFn)(void*)GetProcAddress(module, "VeltariPerformProtocolHandshake");
    if (handshake == NULL) {
        return 4;
    }
    VeltariProtocolDetails details = handshake();
    if (details.serverProtocolVersion == 0) {
        Say("handshake got no answer");
        return 5;
    }
    RegisterFn registerKeys = (RegisterFn)(void*)GetProcAddress(module, "VeltariRegisterKeypressCallback");
    SetAsyncFn setAsync = (SetAsyncFn)(void*)GetProcAddress(module, "VeltariSetLedsColorsAsync");
    FlushAsyncFn flushAsync = (FlushAsyncFn)(void*)GetProcAddress(module, "VeltariSetLedsColorsFlushBufferAsync");
    if (registerKeys != NULL) {
        if (!registerKeys(OnKey, NULL)) {
            Say("key-press registration failed");
            return 5;
        }
        /* The test pushes key notifications until this process ends. */
        if (WaitFor(g_keyPressed, "key-press callback") != 0) {
            return 8;
        }
        Say("notification threads run");
    }
    if (setAsync != NULL) {
        const VeltariLedColor color = {1, 255, 0, 0};
        HANDLE done = CreateEventW(NULL, TRUE, FALSE, NULL);
        if (!setAsync(1, &color, OnAsyncDone, done)) {
            Say("asynchronous set refused");
            return 5;
        }
        if (WaitFor(done, "asynchronous set callback") != 0) {
            return 8;
        }
        Say("asynchronous set worker runs");
    }
    if (flushAsync != NULL) {
        HANDLE done = CreateEventW(NULL, TRUE, FALSE, NULL);
        if (!flushAsync(OnAsyncDone, done)) {
            Say("asynchronous flush refused");
            return 5;
        }
        if (WaitFor(done, "asynchronous flush callback") != 0) {
            return 8;
        }
        Say("asynchronous flush worker runs");
    }
    if (g_asyncFailures != 0) {
        Say("an asynchronous call failed");
        return 5;
    }
    printf("dll_host: %d exports resolved, server protocol %d\n", exported, details.serverProtocolVersion);
    fflush(stdout);
    return 0;
}

static int RunLibrary(const wchar_t* path, int unload) {
    g_keyPressed = CreateEventW(NULL, TRUE, FALSE, NULL);
    HMODULE module = LoadLibraryW(path);
    if (module == NULL) {
        return 3;
    }
    int code = StartLibraryThreads(module);
    if (code != 0 || !unload) {
        /* exit: main returns with every library thread running. */
        return code;
    }
    FreeWithWatchdog(module);
    Say("FreeLibrary returned");

    /* Still working, and the library really went away: a new load starts from an empty state. */
    module = LoadLibraryW(path);
    if (module == NULL) {
        return 3;
    }
    GetDeviceCountFn deviceCount = (GetDeviceCountFn)(void*)GetProcAddress(module, "VeltariGetDeviceCount");
    GetLastErrorFn lastError = (GetLastErrorFn)(void*)GetProcAddress(module, "VeltariGetLastError");
    HandshakeFn handshake = (HandshakeFn)(void*)GetProcAddress(module, "VeltariPerformProtocolHandshake");
    if (deviceCount == NULL || lastError == NULL || handshake == NULL) {
        return 4;
    }
    if (deviceCount() != -1 || lastError() != VeltariErrorNoHandshake) {
        Say("the state survived FreeLibrary");
        return 7;
    }
    if (handshake().serverProtocolVersion == 0) {
        Say("handshake after reload got no answer");
        return 5;
    }
    FreeWithWatchdog(module);
    Say("reloaded, handshake again, unloaded again");
    return 0;
}

static int RunProbe(const wchar_t* path, int unload) {
    static volatile LONG finished = 0;
    const int rounds = unload ? 2 : 1;
    for (int round = 1; round <= rounds; ++round) {
        HMODULE module = LoadLibraryW(path);
        if (module == NULL) {
            return 3;
        }
        ProbeStartFn start = (ProbeStartFn)(void*)GetProcAddress(module, "ProbeStartThreads");
        if (start == NULL) {
            return 4;
        }
        start(4, &finished);
        Say("probe threads started");
        if (!unload) {
            return 0;
        }
        FreeWithWatchdog(module);
        Say("FreeLibrary returned");
        if (finished != 4 * round) {
            printf("dll_host: %ld of %d probe threads ended\n", (long)finished, 4 * round);
            return 6;
        }
    }
    Say("probe threads joined at FreeLibrary, twice");
    return 0;
}

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        return 2;
    }
    const wchar_t* mode = argv[1];
    StartWatchdog();
    if (wcscmp(mode, L"unload") == 0 || wcscmp(mode, L"exit") == 0) {
        return RunLibrary(argv[2], wcscmp(mode, L"unload") == 0);
    }
    if (wcscmp(mode, L"probe-unload") == 0 || wcscmp(mode, L"probe-exit") == 0) {
        return RunProbe(argv[2], wcscmp(mode, L"probe-unload") == 0);
    }
    return 2;
}
