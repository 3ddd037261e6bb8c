#include "transport/pipe_io_win32.h"

#include <algorithm>

namespace sdk::win32 {
namespace {

// Big transfers go in pieces that fit a DWORD count.
constexpr std::size_t kMaxChunk = 1u << 30;

class Deadline {
public:
    explicit Deadline(int timeoutMs)
        : unlimited_(timeoutMs <= 0), end_(GetTickCount64() + static_cast<ULONGLONG>(timeoutMs > 0 ? timeoutMs : 0)) {}

    // The wait for the next piece; 0 once the time is up, which still collects a finished operation.
    DWORD Remaining() const {
        if (unlimited_) {
            return INFINITE;
        }
        const ULONGLONG now = GetTickCount64();
        return now >= end_ ? 0 : static_cast<DWORD>(end_ - now);
    }

private:
    bool unlimited_;
    ULONGLONG end_;
};

void CancelAndDrain(const PipeIo& io) {
    // The kernel may still write into the caller's buffer until the cancelled operation has ended.
    CancelIo(io.pipe);
    DWORD ignored = 0;
    GetOverlappedResult(io.pipe, io.overlapped, &ignored, TRUE);
}

std::uint32_t Transfer(const PipeIo& io, std::uint8_t* data, std::size_t size, int timeoutMs, bool write) {
    if (io.pipe == INVALID_HANDLE_VALUE || io.overlapped == nullptr || io.overlapped->hEvent == nullptr ||
        io.cancelEvent == nullptr) {
        return ERROR_INVALID_HANDLE;
    }
    const Deadline deadline(timeoutMs);
    std::size_t done = 0;
    while (done < size) {
        const auto chunk = static_cast<DWORD>(std::min(size - done, kMaxChunk));
        const BOOL ok = write ? WriteFile(io.pipe, data + done, chunk, nullptr, io.overlapped)
                              : ReadFile(io.pipe, data + done, chunk, nullptr, io.overlapped);
        DWORD transferred = 0;
        std::uint32_t code = kResultOk;
        bool finishedAtOnce = ok != FALSE;
        if (!ok) {
            code = GetLastError();
            if (code == ERROR_IO_PENDING) {
                bool stillPending = false;
                code = WaitForPendingIo(io, deadline.Remaining(), transferred, stillPending);
                if (stillPending) {
                    CancelAndDrain(io);
                    return code;
                }
            } else if (code == ERROR_MORE_DATA) {
                finishedAtOnce = true;
            }
        }
        if (finishedAtOnce && !GetOverlappedResult(io.pipe, io.overlapped, &transferred, FALSE)) {
            code = GetLastError();
        }
        if (code == ERROR_MORE_DATA && !write) {
            code = kResultOk;
        }
        if (code != kResultOk) {
            return code;
        }
        done += transferred;
    }
    return kResultOk;
}

}  // namespace

std::uint32_t WaitForPendingIo(const PipeIo& io, DWORD waitMs, DWORD& transferred, bool& stillPending) {
    const HANDLE events[2] = {io.overlapped->hEvent, io.cancelEvent};
    const DWORD woken = WaitForMultipleObjects(2, events, FALSE, waitMs);
    if (woken == WAIT_OBJECT_0) {
        stillPending = false;
        return GetOverlappedResult(io.pipe, io.overlapped, &transferred, FALSE) ? kResultOk : GetLastError();
    }
    stillPending = true;
    if (woken == WAIT_FAILED) {
        return GetLastError();
    }
    // Time-out or cancel: the operation that went pending is still outstanding.
    return ERROR_IO_PENDING;
}

std::uint32_t ReadExactly(const PipeIo& io, std::uint8_t* data, std::size_t size, int timeoutMs) {
    return Transfer(io, data, size, timeoutMs, false);
}

std::uint32_t WriteExactly(const PipeIo& io, const std::uint8_t* data, std::size_t size, int timeoutMs) {
    return Transfer(io, const_cast<std::uint8_t*>(data), size, timeoutMs, true);
}

std::uint32_t ReadFrame(const PipeIo& io, Bytes& out, int timeoutMs) {
    std::uint8_t word[4] = {};
    std::uint32_t code = ReadExactly(io, word, sizeof word, timeoutMs);
    if (code != kResultOk) {
        return code;
    }
    const std::uint32_t length = static_cast<std::uint32_t>(word[0]) | static_cast<std::uint32_t>(word[1]) << 8 |
                                 static_cast<std::uint32_t>(word[2]) << 16 | static_cast<std::uint32_t>(word[3]) << 24;
    if (length > kMaxFramePayload) {
        return kErrorFrameTooLarge;
    }
    Bytes buffer(length);
    code = ReadExactly(io, buffer.data(), buffer.size(), timeoutMs);
    if (code != kResultOk) {
        return code;
    }
    out.swap(buffer);
    return kResultOk;
}

std::uint32_t WriteFrame(const PipeIo& io, const Bytes& in, int timeoutMs) {
    if (in.size() > kMaxFramePayload) {
        return kErrorFrameTooLarge;
    }
    const auto length = static_cast<std::uint32_t>(in.size());
    const std::uint8_t word[4] = {static_cast<std::uint8_t>(length), static_cast<std::uint8_t>(length >> 8),
                                  static_cast<std::uint8_t>(length >> 16), static_cast<std::uint8_t>(length >> 24)};
    std::uint32_t code = WriteExactly(io, word, sizeof word, timeoutMs);
    if (code != kResultOk || in.empty()) {
        return code;
    }
    return WriteExactly(io, in.data(), in.size(), timeoutMs);
}

}  // namespace sdk::win32
