// A DLL that keeps library threads running and joins them when it is unloaded, exactly as veltari.dll
// does with its workers and notification threads, but with nothing else around them. FreeLibrary of it
// returns only if a join under the loader lock works.
#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "transport/library_thread.h"

namespace {

struct Probe {
    std::mutex mutex;
    std::condition_variable wake;
    bool stopping = false;
    std::vector<sdk::LibraryThread> threads;
};

Probe* g_probe = nullptr;

}  // namespace

// Starts `count` threads: half wait on a condition, half poll every 10 ms like the asynchronous workers.
// Each adds one to *finished as the last thing its body does.
extern "C" __declspec(dllexport) int ProbeStartThreads(int count, volatile LONG* finished) {
    for (int i = 0; i < count; ++i) {
        const bool polls = i % 2 == 1;
        g_probe->threads.emplace_back([polls, finished] {
            if (polls) {
                for (;;) {
                    {
                        std::lock_guard lock(g_probe->mutex);
                        if (g_probe->stopping) {
                            break;
                        }
                    }
                    Sleep(10);
                }
            } else {
                std::unique_lock lock(g_probe->mutex);
                g_probe->wake.wait(lock, [] { return g_probe->stopping; });
            }
            InterlockedIncrement(finished);
        });
    }
    return count;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        DisableThreadLibraryCalls(module);
        g_probe = new Probe;
    } else if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
        {
            std::lock_guard lock(g_probe->mutex);
            g_probe->stopping = true;
        }
        g_probe->wake.notify_all();
        g_probe->threads.clear();  // joins each, under the loader lock
        delete g_probe;
        g_probe = nullptr;
    }
    // At process exit the threads are already gone and nothing needs doing.
    return TRUE;
}
