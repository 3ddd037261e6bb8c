// Server side of Windows named pipes. A thread per listener keeps instances of the name waiting for
// clients at all times and queues connected instances for Accept, so a client that arrives while
// nobody is in Accept still finds an instance instead of a busy answer. Clients that connect at the
// same moment are queued in no particular order.
#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "pipes/pipe_server.h"
#include "transport/byte_pipe_win32.h"

namespace sdk {
namespace {

constexpr DWORD kPipeBufferSize = 64 * 1024;
constexpr DWORD kRetryAfterFailureMs = 50;

class UniqueHandle {
public:
    explicit UniqueHandle(HANDLE handle = nullptr) : handle_(handle) {}
    ~UniqueHandle() { Reset(); }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;

    HANDLE Get() const { return handle_; }
    bool Valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
    void Reset(HANDLE handle = nullptr) {
        if (Valid()) {
            CloseHandle(handle_);
        }
        handle_ = handle;
    }

private:
    HANDLE handle_;
};

HANDLE NewEvent() {
    return CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

HANDLE CreateInstance(const std::wstring& name, bool first) {
    DWORD openMode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED;
    if (first) {
        openMode |= FILE_FLAG_FIRST_PIPE_INSTANCE;
    }
    return CreateNamedPipeW(name.c_str(), openMode,
                            PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
                            PIPE_UNLIMITED_INSTANCES, kPipeBufferSize, kPipeBufferSize, 0, nullptr);
}

class Win32PipeListener final : public IPipeListener {
public:
    Win32PipeListener(std::wstring name, HANDLE firstInstance)
        : name_(std::move(name)), stopEvent_(NewEvent()) {
        bool ready = stopEvent_.Valid();
        for (Slot& slot : slots_) {
            slot.overlapped.hEvent = NewEvent();
            ready = ready && slot.overlapped.hEvent != nullptr;
        }
        if (ready) {
            // All instances exist before the caller can tell a client that the name is served.
            slots_[0].pipe = firstInstance;
            for (std::size_t i = 1; i < kWaitingInstances; ++i) {
                slots_[i].pipe = CreateInstance(name_, false);
            }
            thread_ = std::thread([this] { Run(); });
        } else {
            CloseHandle(firstInstance);
        }
    }

    ~Win32PipeListener() override {
        Cancel();
        if (thread_.joinable()) {
            thread_.join();
        }
        for (HANDLE pipe : connected_) {
            CloseHandle(pipe);
        }
        for (Slot& slot : slots_) {
            if (slot.overlapped.hEvent != nullptr) {
                CloseHandle(slot.overlapped.hEvent);
            }
        }
    }

    bool Ready() const { return thread_.joinable(); }

    std::unique_ptr<IServerPipe> Accept(int timeoutMs) override {
        std::unique_lock lock(mutex_);
        const auto ready = [this] { return cancelled_ || !connected_.empty(); };
        if (timeoutMs > 0) {
            if (!wake_.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready)) {
                return nullptr;
            }
        } else {
            wake_.wait(lock, ready);
        }
        if (cancelled_) {
            return nullptr;
        }
        HANDLE pipe = connected_.front();
        connected_.pop_front();
        ULONG pid = 0;
        GetNamedPipeClientProcessId(pipe, &pid);
        return MakeServerPipe(AdoptPipeHandle(pipe), pid);
    }

    // Stops listening too: clients that come later find no instance.
    void Cancel() override {
        {
            std::lock_guard lock(mutex_);
            cancelled_ = true;
        }
        wake_.notify_all();
        SetEvent(stopEvent_.Get());
    }

private:
    // Several instances wait at once, so that a burst of clients is taken in like a socket backlog.
    static constexpr std::size_t kWaitingInstances = 4;

    struct Slot {
        HANDLE pipe = INVALID_HANDLE_VALUE;
        OVERLAPPED overlapped{};
        bool waiting = false;  // a ConnectNamedPipe is in flight
    };

    void Run() {
        for (;;) {
            bool missing = false;
            for (Slot& slot : slots_) {
                if (slot.pipe == INVALID_HANDLE_VALUE) {
                    slot.pipe = CreateInstance(name_, false);
                }
                if (slot.pipe == INVALID_HANDLE_VALUE) {
                    missing = true;
                } else if (!slot.waiting) {
                    StartWaiting(slot);
                }
            }
            HANDLE events[kWaitingInstances + 1];
            Slot* owners[kWaitingInstances + 1];
            DWORD count = 0;
            events[count++] = stopEvent_.Get();
            for (Slot& slot : slots_) {
                if (slot.waiting) {
                    owners[count] = &slot;
                    events[count++] = slot.overlapped.hEvent;
                }
            }
            const DWORD woken =
                WaitForMultipleObjects(count, events, FALSE, missing ? kRetryAfterFailureMs : INFINITE);
            if (woken == WAIT_OBJECT_0 || woken == WAIT_FAILED) {
                break;
            }
            if (woken > WAIT_OBJECT_0 && woken < WAIT_OBJECT_0 + count) {
                Slot& slot = *owners[woken - WAIT_OBJECT_0];
                slot.waiting = false;
                DWORD ignored = 0;
                if (GetOverlappedResult(slot.pipe, &slot.overlapped, &ignored, FALSE)) {
                    Queue(slot);
                } else {
                    Discard(slot);
                }
            }
        }
        for (Slot& slot : slots_) {
            if (slot.waiting) {
                CancelIo(slot.pipe);
                DWORD ignored = 0;
                GetOverlappedResult(slot.pipe, &slot.overlapped, &ignored, TRUE);
                slot.waiting = false;
            }
            Discard(slot);
        }
    }

    void StartWaiting(Slot& slot) {
        ResetEvent(slot.overlapped.hEvent);
        if (ConnectNamedPipe(slot.pipe, &slot.overlapped)) {
            Queue(slot);
            return;
        }
        switch (GetLastError()) {
            case ERROR_IO_PENDING:
                slot.waiting = true;
                break;
            case ERROR_PIPE_CONNECTED:  // the client was quicker than ConnectNamedPipe
                Queue(slot);
                break;
            default:  // ERROR_NO_DATA: a client came and went; anything else: start over
                Discard(slot);
                break;
        }
    }

    void Queue(Slot& slot) {
        {
            std::lock_guard lock(mutex_);
            connected_.push_back(slot.pipe);
        }
        slot.pipe = INVALID_HANDLE_VALUE;
        wake_.notify_all();
    }

    static void Discard(Slot& slot) {
        if (slot.pipe != INVALID_HANDLE_VALUE) {
            CloseHandle(slot.pipe);
            slot.pipe = INVALID_HANDLE_VALUE;
        }
    }

    std::wstring name_;
    UniqueHandle stopEvent_;
    Slot slots_[kWaitingInstances];
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<HANDLE> connected_;
    bool cancelled_ = false;
    std::thread thread_;
};

}  // namespace

std::unique_ptr<IPipeListener> ListenOnPipe(const std::wstring& pipeName) {
    if (!IsLocalPipeName(pipeName)) {
        return nullptr;
    }
    // The first instance claims the name and fails when someone already serves it. Not every
    // implementation of the pipe file system honours that flag, so ask first whether the name exists.
    if (WaitNamedPipeW(pipeName.c_str(), 1) || GetLastError() != ERROR_FILE_NOT_FOUND) {
        return nullptr;
    }
    HANDLE first = CreateInstance(pipeName, true);
    if (first == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    auto listener = std::make_unique<Win32PipeListener>(pipeName, first);
    if (!listener->Ready()) {
        return nullptr;
    }
    return listener;
}

}  // namespace sdk
