// Library threads on Windows.
//
// FreeLibrary calls the library's unload with the loader lock held, and a thread's exit needs that lock
// (ExitThread notifies every loaded module), so no thread can finish exiting while unload waits for it:
// joining on the thread handle there never ends. Instead each thread reports that its body has
// returned, and it does so as the very last thing that runs in the library's image: a small entry stub
// calls the body and then jumps to SetEvent, which returns straight into the system's thread start
// routine, which exits the thread. Join waits for that event (or for the thread handle, which is the
// only thing left to wait for after the process killed the thread at exit). Once the event is set the
// library can be unmapped: the thread is in system code for good, and its exit waits for the loader
// lock like any other thread's.
#include <windows.h>

#include <memory>
#include <system_error>
#include <utility>

#include "transport/library_thread.h"

namespace sdk {

struct LibraryThread::Control {
    std::function<void()> body;
    HANDLE running = nullptr;   // set by the thread before the body runs
    HANDLE finished = nullptr;  // set by the entry stub after the body has returned
    HANDLE thread = nullptr;
    DWORD threadId = 0;

    ~Control() {
        for (HANDLE handle : {running, finished, thread}) {
            if (handle != nullptr) {
                CloseHandle(handle);
            }
        }
    }
};

}  // namespace sdk

// Runs the body; returns the event that the entry stub sets once this function has returned. An
// exception leaving the body ends the process, as it would on a std::thread.
extern "C" HANDLE sdk_RunLibraryThread(void* parameter) noexcept {
    auto* control = static_cast<sdk::LibraryThread::Control*>(parameter);
    // Control lives until Join, which cannot end before `finished` is set.
    SetEvent(control->running);
    control->body();
    control->body = nullptr;
    return control->finished;
}

// DWORD WINAPI sdk_LibraryThreadStart(void* control): calls sdk_RunLibraryThread, then tail-jumps to
// SetEvent so that the return from SetEvent leaves the library's image for good.
extern "C" DWORD WINAPI sdk_LibraryThreadStart(void* control);
asm(R"(
    .text
    .p2align 4
    .globl sdk_LibraryThreadStart
    .def sdk_LibraryThreadStart; .scl 2; .type 32; .endef
    .seh_proc sdk_LibraryThreadStart
sdk_LibraryThreadStart:
    subq $40, %rsp
    .seh_stackalloc 40
    .seh_endprologue
    call sdk_RunLibraryThread
    movq %rax, %rcx
    addq $40, %rsp
    rex.W jmp *__imp_SetEvent(%rip)
    .seh_endproc
)");

namespace sdk {

LibraryThread::LibraryThread(std::function<void()> body) {
    if (ThreadStartRefused()) {
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    }
    auto control = std::make_unique<Control>();
    control->body = std::move(body);
    control->running = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    control->finished = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (control->running == nullptr || control->finished == nullptr) {
        throw std::system_error(static_cast<int>(GetLastError()), std::system_category());
    }
    control->thread = CreateThread(nullptr, 0, sdk_LibraryThreadStart, control.get(), 0, &control->threadId);
    if (control->thread == nullptr) {
        throw std::system_error(static_cast<int>(GetLastError()), std::system_category());
    }
    // A new thread takes the loader lock before it runs anything of ours. Waiting here until it runs means
    // that an unload, which can only come after this call returns, never waits for a thread still stuck
    // there.
    const HANDLE events[2] = {control->running, control->thread};
    WaitForMultipleObjects(2, events, FALSE, INFINITE);
    control_ = control.release();
}

void LibraryThread::Join() {
    if (control_ == nullptr) {
        throw std::system_error(std::make_error_code(std::errc::invalid_argument));
    }
    if (control_->threadId == GetCurrentThreadId()) {
        throw std::system_error(std::make_error_code(std::errc::resource_deadlock_would_occur));
    }
    const HANDLE events[2] = {control_->finished, control_->thread};
    WaitForMultipleObjects(2, events, FALSE, INFINITE);
    delete std::exchange(control_, nullptr);
}

}  // namespace sdk
