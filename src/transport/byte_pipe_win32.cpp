// Byte pipes over Windows pipe handles: overlapped I/O, so that a wait can end on its deadline or on a
// cancel event set from another thread (CancelIo only reaches operations of the calling thread).
#include "transport/byte_pipe_win32.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <vector>

namespace sdk {
namespace {

constexpr DWORD kInputAccess = GENERIC_READ | FILE_WRITE_ATTRIBUTES;
constexpr DWORD kOutputAccess = GENERIC_WRITE;
// A busy answer is retried only while the wait says an instance came free; other clients can take it
// first every time, so the number of rounds is bounded.
constexpr int kMaxBusyRetries = 16;
// Transfers go in pieces that fit a DWORD count.
constexpr std::size_t kMaxChunk = std::size_t{1} << 30;
// Runs up to this size (a full keyboard's colours for several devices) are joined into one write.
constexpr std::size_t kJoinedWriteLimit = 64 * 1024;

// The one place where a Windows error becomes a status.
IoResult FromError(DWORD error) {
    switch (error) {
        case ERROR_BROKEN_PIPE:
        case ERROR_NO_DATA:
        case ERROR_PIPE_NOT_CONNECTED:
        case ERROR_INVALID_HANDLE:
            return {IoStatus::kClosed, error};
        case ERROR_OPERATION_ABORTED:
            return {IoStatus::kCancelled, error};
        default:
            return {IoStatus::kFailed, error};
    }
}

class HandlePipe final : public IBytePipe {
public:
    HandlePipe(HANDLE pipe, HANDLE cancelEvent, HANDLE readEvent, HANDLE writeEvent)
        : pipe_(pipe), cancelEvent_(cancelEvent) {
        read_.hEvent = readEvent;
        write_.hEvent = writeEvent;
    }
    ~HandlePipe() override {
        Cancel();
        Close();
        for (HANDLE event : {cancelEvent_, read_.hEvent, write_.hEvent}) {
            CloseHandle(event);
        }
    }
    HandlePipe(const HandlePipe&) = delete;
    HandlePipe& operator=(const HandlePipe&) = delete;

    IoResult ReadSome(std::uint8_t* data, std::size_t size, const Deadline& deadline) override {
        return Transfer(data, size, deadline, read_, false);
    }
    IoResult WriteSome(std::span<const BytesPiece> pieces, const Deadline& deadline) override {
        if (pieces.empty()) {
            return {};
        }
        // WriteFile takes one buffer: a small run is joined so that the reader is woken once; a large one
        // goes a piece at a time rather than be copied whole. WriteFile only reads the buffer; the shared
        // path takes it without const.
        std::size_t total = 0;
        for (const BytesPiece& piece : pieces) {
            total += piece.size;
        }
        if (pieces.size() == 1 || total > kJoinedWriteLimit) {
            return Transfer(const_cast<std::uint8_t*>(pieces[0].data), pieces[0].size, deadline, write_,
                            true);
        }
        try {
            joined_.resize(total);
        } catch (const std::bad_alloc&) {
            return {IoStatus::kFailed};
        }
        std::size_t at = 0;
        for (const BytesPiece& piece : pieces) {
            if (piece.size > 0) {
                std::memcpy(joined_.data() + at, piece.data, piece.size);
            }
            at += piece.size;
        }
        return Transfer(joined_.data(), total, deadline, write_, true);
    }

    void Cancel() override {
        std::lock_guard<std::mutex> lock(handleMutex_);
        SetEvent(cancelEvent_);
        if (pipe_ != INVALID_HANDLE_VALUE) {
            CancelIo(pipe_);
        }
    }

    void Close() override {
        std::lock_guard<std::mutex> lock(handleMutex_);
        if (pipe_ != INVALID_HANDLE_VALUE) {
            CloseHandle(pipe_);
            pipe_ = INVALID_HANDLE_VALUE;
        }
    }

private:
    IoResult Transfer(std::uint8_t* data, std::size_t size, const Deadline& deadline, OVERLAPPED& overlapped,
                      bool write) {
        if (pipe_ == INVALID_HANDLE_VALUE) {
            return {IoStatus::kClosed};
        }
        const auto chunk = static_cast<DWORD>(std::min(size, kMaxChunk));
        const BOOL done = write ? WriteFile(pipe_, data, chunk, nullptr, &overlapped)
                                : ReadFile(pipe_, data, chunk, nullptr, &overlapped);
        DWORD error = done ? ERROR_SUCCESS : GetLastError();
        if (error == ERROR_IO_PENDING) {
            const HANDLE events[2] = {overlapped.hEvent, cancelEvent_};
            const DWORD wait = deadline.Limited() ? static_cast<DWORD>(deadline.LeftMs()) : INFINITE;
            // The I/O event wins a tie.
            const DWORD woken = WaitForMultipleObjects(2, events, FALSE, wait);
            if (woken != WAIT_OBJECT_0) {
                // The system may still write into the buffer until the cancelled operation has ended.
                CancelIo(pipe_);
                DWORD moved = 0;
                GetOverlappedResult(pipe_, &overlapped, &moved, TRUE);
                IoResult result{woken == WAIT_TIMEOUT ? IoStatus::kTimedOut : IoStatus::kCancelled};
                if (woken == WAIT_FAILED) {
                    result = FromError(GetLastError());
                }
                result.moved = moved;
                return result;
            }
            error = ERROR_SUCCESS;
        }
        DWORD moved = 0;
        // ERROR_MORE_DATA of a message-mode pipe only means that the rest follows.
        if (error == ERROR_SUCCESS || error == ERROR_MORE_DATA) {
            if (!GetOverlappedResult(pipe_, &overlapped, &moved, FALSE)) {
                error = GetLastError();
            } else {
                error = ERROR_SUCCESS;
            }
        }
        if (error != ERROR_SUCCESS && error != ERROR_MORE_DATA) {
            IoResult result = FromError(error);
            if (WaitForSingleObject(cancelEvent_, 0) == WAIT_OBJECT_0) {
                result.status = IoStatus::kCancelled;
            }
            result.moved = moved;
            return result;
        }
        return {IoStatus::kOk, 0, moved};
    }

    HANDLE pipe_;
    HANDLE cancelEvent_;  // manual reset, never reset: a cancel is final
    // Zero but for their events; one record per direction, so one operation in flight each way.
    OVERLAPPED read_{};
    OVERLAPPED write_{};
    // Orders a cancel from another thread with the close of the handle.
    std::mutex handleMutex_;
    // The pieces of a small run, joined for one WriteFile.
    std::vector<std::uint8_t> joined_;
};

HANDLE OpenClientPipe(const std::wstring& name, DWORD desiredAccess, int timeoutMs) {
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

}  // namespace

bool IsLocalPipeName(std::wstring_view name) {
    constexpr std::wstring_view kPrefix = L"\\\\.\\pipe\\";
    if (name.size() <= kPrefix.size() || name.substr(0, 4) != kPrefix.substr(0, 4) || name[8] != L'\\') {
        return false;
    }
    for (std::size_t i = 4; i < 8; ++i) {
        const wchar_t c =
            name[i] >= L'A' && name[i] <= L'Z' ? static_cast<wchar_t>(name[i] - L'A' + L'a') : name[i];
        if (c != kPrefix[i]) {
            return false;
        }
    }
    std::wstring_view rest = name.substr(kPrefix.size());
    for (;;) {
        const std::size_t end = rest.find_first_of(L"\\/");
        const std::wstring_view part = rest.substr(0, end);
        if (part.empty() || part == L"." || part == L".." || part.find(L'\0') != std::wstring_view::npos) {
            return false;
        }
        if (end == std::wstring_view::npos) {
            return true;
        }
        rest = rest.substr(end + 1);
    }
}

std::unique_ptr<IBytePipe> AdoptPipeHandle(HANDLE pipe) {
    const HANDLE cancelEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const HANDLE readEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const HANDLE writeEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (pipe == INVALID_HANDLE_VALUE || cancelEvent == nullptr || readEvent == nullptr ||
        writeEvent == nullptr) {
        for (HANDLE handle : {pipe, cancelEvent, readEvent, writeEvent}) {
            if (handle != nullptr && handle != INVALID_HANDLE_VALUE) {
                CloseHandle(handle);
            }
        }
        return nullptr;
    }
    return std::make_unique<HandlePipe>(pipe, cancelEvent, readEvent, writeEvent);
}

std::unique_ptr<IBytePipe> OpenBytePipe(const std::wstring& name, PipeEnd end, int busyTimeoutMs) {
    if (!IsLocalPipeName(name)) {
        return nullptr;
    }
    return AdoptPipeHandle(
        OpenClientPipe(name, end == PipeEnd::kRead ? kInputAccess : kOutputAccess, busyTimeoutMs));
}

}  // namespace sdk
