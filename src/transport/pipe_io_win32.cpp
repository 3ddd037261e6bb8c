#include "transport/pipe_io_win32.h"

#include <algorithm>
#include <new>

namespace sdk::win32 {
namespace {

// Big transfers go in pieces that fit a DWORD count.
constexpr std::size_t kMaxChunk = std::size_t{1} << 30;
// The first piece of a payload; later pieces double what has arrived.
constexpr std::size_t kFirstPayloadPiece = 64 * 1024;

class Deadline {
public:
    explicit Deadline(int timeoutMs)
        : unlimited_(timeoutMs <= 0),
          end_(GetTickCount64() + static_cast<ULONGLONG>(timeoutMs > 0 ? timeoutMs : 0)) {}

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
    // The system may still write into the caller's buffer until the cancelled operation has ended.
    CancelIo(io.pipe);
    DWORD ignored = 0;
    GetOverlappedResult(io.pipe, io.overlapped, &ignored, TRUE);
}

std::uint32_t Transfer(const PipeIo& io, std::uint8_t* data, std::size_t size, int timeoutMs, bool write,
                       std::size_t& transferredTotal) {
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
        done += transferred;
        transferredTotal += transferred;
        if (code != kResultOk) {
            return code;
        }
    }
    return kResultOk;
}

}  // namespace

bool IsLocalPipeName(std::wstring_view name) {
    constexpr std::wstring_view kPrefix = L"\\\\.\\pipe\\";
    if (name.size() <= kPrefix.size() || name.substr(0, 4) != kPrefix.substr(0, 4) || name[8] != L'\\') {
        return false;
    }
    for (std::size_t i = 4; i < 8; ++i) {
        const wchar_t c = name[i] >= L'A' && name[i] <= L'Z' ? static_cast<wchar_t>(name[i] - L'A' + L'a') : name[i];
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
    return kErrorIoPending;
}

std::uint32_t ReadExactly(const PipeIo& io, std::uint8_t* data, std::size_t size, int timeoutMs,
                          std::size_t& transferred) {
    return Transfer(io, data, size, timeoutMs, false, transferred);
}

std::uint32_t WriteExactly(const PipeIo& io, const std::uint8_t* data, std::size_t size, int timeoutMs,
                           std::size_t& transferred) {
    // WriteFile only reads the buffer; the shared loop takes it without const.
    return Transfer(io, const_cast<std::uint8_t*>(data), size, timeoutMs, true, transferred);
}

std::uint32_t ReadFrame(const PipeIo& io, Bytes& out, int timeoutMs, bool& framingLost) {
    std::uint8_t word[4] = {};
    std::size_t moved = 0;
    std::uint32_t code = ReadExactly(io, word, sizeof word, timeoutMs, moved);
    if (code != kResultOk) {
        framingLost = framingLost || moved != 0;
        return code;
    }
    const std::uint32_t length = static_cast<std::uint32_t>(word[0]) | static_cast<std::uint32_t>(word[1]) << 8 |
                                 static_cast<std::uint32_t>(word[2]) << 16 |
                                 static_cast<std::uint32_t>(word[3]) << 24;
    // From here on the length word is consumed: any failure leaves the stream inside this frame.
    if (length > kMaxFramePayload) {
        framingLost = true;
        return kErrorInvalidData;
    }
    // The buffer grows with the bytes that arrive rather than with the length announced, so a peer that
    // sends a length word and then nothing cannot make us hold memory up to the cap. One deadline covers
    // the whole payload, however many pieces it takes.
    const Deadline deadline(timeoutMs);
    Bytes buffer;
    std::size_t have = 0;
    while (have < length) {
        const std::size_t next = std::min<std::size_t>(length, std::max(kFirstPayloadPiece, have * 2));
        try {
            buffer.resize(next);
        } catch (const std::bad_alloc&) {
            framingLost = true;
            return ERROR_NOT_ENOUGH_MEMORY;
        }
        const DWORD remaining = deadline.Remaining();
        if (remaining == 0) {
            framingLost = true;
            return kErrorIoPending;
        }
        moved = 0;
        code = ReadExactly(io, buffer.data() + have, next - have,
                           remaining == INFINITE ? 0 : static_cast<int>(remaining), moved);
        if (code != kResultOk) {
            framingLost = true;
            return code;
        }
        have = next;
    }
    out.swap(buffer);
    return kResultOk;
}

std::uint32_t WriteFrame(const PipeIo& io, const Bytes& in, int timeoutMs, bool& framingLost) {
    if (in.size() > kMaxFramePayload) {
        return kErrorInvalidData;
    }
    const auto length = static_cast<std::uint32_t>(in.size());
    const std::uint8_t word[4] = {static_cast<std::uint8_t>(length), static_cast<std::uint8_t>(length >> 8),
                                  static_cast<std::uint8_t>(length >> 16), static_cast<std::uint8_t>(length >> 24)};
    std::size_t moved = 0;
    std::uint32_t code = WriteExactly(io, word, sizeof word, timeoutMs, moved);
    if (code != kResultOk) {
        framingLost = framingLost || moved != 0;
        return code;
    }
    if (in.empty()) {
        return kResultOk;
    }
    moved = 0;
    code = WriteExactly(io, in.data(), in.size(), timeoutMs, moved);
    if (code != kResultOk) {
        framingLost = true;
    }
    return code;
}

}  // namespace sdk::win32
