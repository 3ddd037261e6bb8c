// Client ends of Windows named pipes: one handle per stream, one direction, overlapped I/O so that a
// wait can end on a time-out or on a cancel from another thread.
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "transport/pipe_io_win32.h"
#include "transport/stream.h"

namespace sdk {
namespace {

constexpr DWORD kInputAccess = GENERIC_READ | FILE_WRITE_ATTRIBUTES;
constexpr DWORD kOutputAccess = GENERIC_WRITE;
// A busy answer is retried only while the wait says an instance came free; another client can take
// it first, so the number of rounds is bounded.
constexpr int kMaxBusyRetries = 10;

}  // namespace

enum class StreamState : std::int32_t {
    Idle = -1,
    ClientOpen = 1,
    Closed = 3,
    ReadReady = 6,
    WriteReady = 7,
};

class PipeStreamBase {
public:
    PipeStreamBase() {
        cancelEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }

    virtual ~PipeStreamBase() {
        CancelPending();
        CloseHandleOnce(cancelEvent, nullptr);
        CloseHandleOnce(overlapped.hEvent, nullptr);
    }

    PipeStreamBase(const PipeStreamBase&) = delete;
    PipeStreamBase& operator=(const PipeStreamBase&) = delete;

    virtual std::uint32_t ReadMessage(Bytes& out, int timeoutMs) {
        return win32::ReadFrame(Io(), out, timeoutMs);
    }

    virtual std::uint32_t WriteMessage(const Bytes& in, int timeoutMs) {
        return win32::WriteFrame(Io(), in, timeoutMs);
    }

    // The event wakes a wait on any thread; CancelIo only reaches operations this thread issued.
    virtual void CancelPending() {
        if (cancelEvent != nullptr) {
            SetEvent(cancelEvent);
        }
        if (pipeHandle != INVALID_HANDLE_VALUE) {
            CancelIo(pipeHandle);
        }
    }

protected:
    bool EventsReady() const { return cancelEvent != nullptr && overlapped.hEvent != nullptr; }

    // Runs only from Idle; a valid handle moves the stream to ClientOpen.
    bool OpenClientPipe(const std::wstring& name, DWORD desiredAccess, int timeoutMs) {
        if (state != StreamState::Idle) {
            return false;
        }
        // Identification level only: whoever serves the name learns who we are but cannot act as us.
        const DWORD flags = FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION;
        HANDLE handle = INVALID_HANDLE_VALUE;
        for (int round = 0; round <= kMaxBusyRetries; ++round) {
            handle = CreateFileW(name.c_str(), desiredAccess, 0, nullptr, OPEN_EXISTING, flags, nullptr);
            if (handle != INVALID_HANDLE_VALUE || GetLastError() != ERROR_PIPE_BUSY) {
                break;
            }
            if (!WaitNamedPipeW(name.c_str(), timeoutMs > 0 ? static_cast<DWORD>(timeoutMs) : NMPWAIT_WAIT_FOREVER)) {
                break;
            }
        }
        if (handle == INVALID_HANDLE_VALUE) {
            return false;
        }
        pipeHandle = handle;
        state = StreamState::ClientOpen;
        return true;
    }

    void NoteError(std::uint32_t code) {
        switch (code) {
            case kErrorBrokenPipe:
            case kErrorNoData:
            case kErrorPipeNotConnected:
            case kErrorOperationAborted:
            case kErrorIoPending:
                broken.store(true);
                break;
            default:
                break;
        }
    }

    void CloseHandleOnly() {
        if (pipeHandle != INVALID_HANDLE_VALUE) {
            CloseHandle(pipeHandle);
            pipeHandle = INVALID_HANDLE_VALUE;
            state = StreamState::Closed;
        }
    }

    StreamState state = StreamState::Idle;
    HANDLE cancelEvent = nullptr;
    OVERLAPPED overlapped{};
    HANDLE pipeHandle = INVALID_HANDLE_VALUE;
    std::atomic<bool> broken{false};

private:
    win32::PipeIo Io() { return win32::PipeIo{pipeHandle, &overlapped, cancelEvent}; }

    static void CloseHandleOnce(HANDLE& handle, HANDLE invalid) {
        if (handle != invalid) {
            CloseHandle(handle);
            handle = invalid;
        }
    }
};

class PipeInputStream final : public PipeStreamBase, public IStream {
public:
    explicit PipeInputStream(std::wstring name) : pipeName(std::move(name)) {}

    ~PipeInputStream() override {
        CancelPending();
        Close();
    }

    bool Open(int timeoutMs) {
        if (!EventsReady() || !OpenClientPipe(pipeName, kInputAccess, timeoutMs)) {
            return false;
        }
        state = StreamState::ReadReady;
        return true;
    }

    void Close() override { CloseHandleOnly(); }
    bool CanRead(int /*timeoutMs*/) override { return pipeHandle != INVALID_HANDLE_VALUE; }
    bool CanWrite(int /*timeoutMs*/) override { return false; }

    std::uint32_t Read(Bytes& out, int timeoutMs) override {
        if (!CanRead(timeoutMs)) {
            return kResultNotReady;
        }
        const std::uint32_t code = ReadMessage(out, timeoutMs);
        NoteError(code);
        if (code == win32::kErrorFrameTooLarge) {
            // The refused payload is still in the pipe, so no later length word can be trusted.
            broken.store(true);
        }
        return code;
    }

    std::uint32_t Write(const Bytes& /*in*/, int /*timeoutMs*/) override { return kResultNotReady; }
    void Cancel() override { CancelPending(); }
    bool IsBroken() override { return broken.load(); }

private:
    std::wstring pipeName;
};

class PipeOutputStream final : public PipeStreamBase, public IStream {
public:
    explicit PipeOutputStream(std::wstring name) : pipeName(std::move(name)) {}

    ~PipeOutputStream() override {
        CancelPending();
        Close();
    }

    bool Open(int timeoutMs) {
        if (!EventsReady() || !OpenClientPipe(pipeName, kOutputAccess, timeoutMs)) {
            return false;
        }
        state = StreamState::WriteReady;
        return true;
    }

    void Close() override { CloseHandleOnly(); }
    bool CanRead(int /*timeoutMs*/) override { return false; }
    bool CanWrite(int /*timeoutMs*/) override { return pipeHandle != INVALID_HANDLE_VALUE; }
    std::uint32_t Read(Bytes& /*out*/, int /*timeoutMs*/) override { return kResultNotReady; }

    std::uint32_t Write(const Bytes& in, int timeoutMs) override {
        if (!CanWrite(timeoutMs)) {
            return kResultNotReady;
        }
        const std::uint32_t code = WriteMessage(in, timeoutMs);
        NoteError(code);
        return code;
    }

    void Cancel() override { CancelPending(); }
    bool IsBroken() override { return broken.load(); }

    void Flush() override {
        if (pipeHandle != INVALID_HANDLE_VALUE) {
            FlushFileBuffers(pipeHandle);
        }
    }

private:
    std::wstring pipeName;
};

namespace {

template <typename Stream>
StreamPtr OpenStream(const std::wstring& pipeName, int timeoutMs) {
    auto stream = std::make_shared<Stream>(pipeName);
    if (!stream->Open(timeoutMs)) {
        return nullptr;
    }
    return stream;
}

}  // namespace

StreamPtr OpenPipeInputStream(const std::wstring& pipeName, int timeoutMs) {
    return OpenStream<PipeInputStream>(pipeName, timeoutMs);
}

StreamPtr OpenPipeOutputStream(const std::wstring& pipeName, int timeoutMs) {
    return OpenStream<PipeOutputStream>(pipeName, timeoutMs);
}

}  // namespace sdk
