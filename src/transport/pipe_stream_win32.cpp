// Client ends of Windows named pipes: one handle per stream, one direction, overlapped I/O so that a
// wait can end on a time-out or on a cancel from another thread.
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "transport/pipe_io_win32.h"
#include "transport/pipe_stream_common.h"
#include "transport/stream.h"

namespace sdk {
namespace {

constexpr DWORD kInputAccess = GENERIC_READ | FILE_WRITE_ATTRIBUTES;
constexpr DWORD kOutputAccess = GENERIC_WRITE;
// A busy answer is retried only while the wait says an instance came free; other clients can take it
// first every time, so the number of rounds is bounded.
constexpr int kMaxBusyRetries = 16;

}  // namespace

class PipeStreamBase {
public:
    PipeStreamBase() {
        cancelEvent_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        overlapped_.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }

    virtual ~PipeStreamBase() {
        CancelPending();
        CloseEvent(cancelEvent_);
        CloseEvent(overlapped_.hEvent);
    }

    PipeStreamBase(const PipeStreamBase&) = delete;
    PipeStreamBase& operator=(const PipeStreamBase&) = delete;

    virtual std::uint32_t ReadMessage(Bytes& out, int timeoutMs) {
        bool framingLost = false;
        const std::uint32_t code = win32::ReadFrame(Io(), out, timeoutMs, framingLost);
        if (framingLost) {
            broken_ = true;
        }
        return code;
    }

    virtual std::uint32_t WriteMessage(const Bytes& in, int timeoutMs) {
        bool framingLost = false;
        const std::uint32_t code = win32::WriteFrame(Io(), in, timeoutMs, framingLost);
        if (framingLost) {
            broken_ = true;
        }
        return code;
    }

    // The event wakes a wait on any thread; CancelIo only reaches operations this thread issued.
    virtual void CancelPending() {
        if (cancelEvent_ != nullptr) {
            SetEvent(cancelEvent_);
        }
        if (pipeHandle_ != INVALID_HANDLE_VALUE) {
            CancelIo(pipeHandle_);
        }
    }

protected:
    // Idle -> ClientOpen -> `ready`; a failed open leaves the stream Idle.
    bool Open(const std::wstring& pipeName, DWORD desiredAccess, int timeoutMs, StreamState ready) {
        if (state_ != kStreamIdle || cancelEvent_ == nullptr || overlapped_.hEvent == nullptr ||
            !win32::IsLocalPipeName(pipeName)) {
            return false;
        }
        const HANDLE handle = OpenClientPipe(pipeName, desiredAccess, timeoutMs);
        if (handle == INVALID_HANDLE_VALUE) {
            return false;
        }
        // An opened client end needs no further step, so ClientOpen passes straight on to `ready`.
        pipeHandle_ = handle;
        state_ = ready;
        return true;
    }

    void ClosePipe() {
        if (pipeHandle_ != INVALID_HANDLE_VALUE) {
            CloseHandle(pipeHandle_);
            pipeHandle_ = INVALID_HANDLE_VALUE;
            state_ = kStreamClosed;
        }
    }

    void NoteError(std::uint32_t code) {
        if (IsChannelFailure(code)) {
            broken_ = true;
        }
    }

    bool HasPipe() const { return pipeHandle_ != INVALID_HANDLE_VALUE; }

    void FlushPipe() {
        if (HasPipe()) {
            FlushFileBuffers(pipeHandle_);
        }
    }

    StreamState state_ = kStreamIdle;
    HANDLE cancelEvent_ = nullptr;
    // Zero but for its event, the I/O event; one record, so one operation in flight per stream.
    OVERLAPPED overlapped_{};
    HANDLE pipeHandle_ = INVALID_HANDLE_VALUE;
    std::atomic<bool> broken_{false};

private:
    static HANDLE OpenClientPipe(const std::wstring& name, DWORD desiredAccess, int timeoutMs) {
        // Identification level only: whoever serves the name learns who we are but cannot act as us.
        const DWORD flags = FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION;
        const DWORD busyWait = timeoutMs > 0 ? static_cast<DWORD>(timeoutMs) : NMPWAIT_WAIT_FOREVER;
        for (int round = 0; round <= kMaxBusyRetries; ++round) {
            const HANDLE handle =
                CreateFileW(name.c_str(), desiredAccess, 0, nullptr, OPEN_EXISTING, flags, nullptr);
            if (handle != INVALID_HANDLE_VALUE || GetLastError() != ERROR_PIPE_BUSY) {
                return handle;
            }
            if (!WaitNamedPipeW(name.c_str(), busyWait)) {
                break;
            }
        }
        return INVALID_HANDLE_VALUE;
    }

    static void CloseEvent(HANDLE& event) {
        if (event != nullptr) {
            CloseHandle(event);
            event = nullptr;
        }
    }

    win32::PipeIo Io() { return win32::PipeIo{pipeHandle_, &overlapped_, cancelEvent_}; }
};

class PipeInputStream final : public PipeStreamBase, public IStream {
public:
    explicit PipeInputStream(std::wstring pipeName) : pipeName_(std::move(pipeName)) {}
    ~PipeInputStream() override {
        CancelPending();
        Close();
    }

    bool Open(int timeoutMs) { return PipeStreamBase::Open(pipeName_, kInputAccess, timeoutMs, kStreamReadReady); }

    void Close() override { ClosePipe(); }
    bool CanRead(int) override { return HasPipe(); }
    bool CanWrite(int) override { return false; }
    std::uint32_t Read(Bytes& out, int timeoutMs) override {
        if (!CanRead(timeoutMs)) {
            return kResultNotReady;
        }
        const std::uint32_t code = ReadMessage(out, timeoutMs);
        NoteError(code);
        return code;
    }
    std::uint32_t Write(const Bytes&, int) override { return kResultNotReady; }
    void Cancel() override { CancelPending(); }
    bool IsBroken() override { return broken_; }

private:
    std::wstring pipeName_;
};

class PipeOutputStream final : public PipeStreamBase, public IStream {
public:
    explicit PipeOutputStream(std::wstring pipeName) : pipeName_(std::move(pipeName)) {}
    ~PipeOutputStream() override {
        CancelPending();
        Close();
    }

    bool Open(int timeoutMs) {
        return PipeStreamBase::Open(pipeName_, kOutputAccess, timeoutMs, kStreamWriteReady);
    }

    void Close() override { ClosePipe(); }
    bool CanRead(int) override { return false; }
    bool CanWrite(int) override { return HasPipe(); }
    std::uint32_t Read(Bytes&, int) override { return kResultNotReady; }
    std::uint32_t Write(const Bytes& in, int timeoutMs) override {
        if (!CanWrite(timeoutMs)) {
            return kResultNotReady;
        }
        const std::uint32_t code = WriteMessage(in, timeoutMs);
        NoteError(code);
        return code;
    }
    void Cancel() override { CancelPending(); }
    bool IsBroken() override { return broken_; }
    // Waits until the server has read everything written so far.
    void Flush() override { FlushPipe(); }

private:
    std::wstring pipeName_;
};

StreamPtr OpenPipeInputStream(const std::wstring& pipeName, int timeoutMs) {
    auto stream = std::make_shared<PipeInputStream>(pipeName);
    if (!stream->Open(timeoutMs)) {
        return nullptr;
    }
    return stream;
}

StreamPtr OpenPipeOutputStream(const std::wstring& pipeName, int timeoutMs) {
    auto stream = std::make_shared<PipeOutputStream>(pipeName);
    if (!stream->Open(timeoutMs)) {
        return nullptr;
    }
    return stream;
}

}  // namespace sdk
