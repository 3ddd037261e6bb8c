// A pipe stream moves whole length-prefixed messages in one direction, with time-outs and a
// cancellation that wakes a waiting thread. Result codes are Windows error codes on every platform.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace sdk {

using Bytes = std::vector<std::uint8_t>;

// Result codes shared by every layer of the transport.
constexpr std::uint32_t kResultOk = 0;
constexpr std::uint32_t kResultNotReady = 0xFFFFFFFFu;  // no handle, or the wrong direction
constexpr std::uint32_t kErrorInvalidData = 13;         // a frame announced above kMaxFramePayload
constexpr std::uint32_t kErrorBrokenPipe = 109;         // peer closed or reset
constexpr std::uint32_t kErrorPipeBusy = 231;
constexpr std::uint32_t kErrorNoData = 232;
constexpr std::uint32_t kErrorPipeNotConnected = 233;
constexpr std::uint32_t kErrorOperationAborted = 995;
constexpr std::uint32_t kErrorIoPending = 997;  // time-out or cancel
// A frame announcing more than this is refused before anything is allocated: the read fails with
// kErrorInvalidData and the stream is broken from then on, as it can no longer find frame boundaries.
constexpr std::uint32_t kMaxFramePayload = 64u * 1024u * 1024u;

class IStream {
public:
    virtual ~IStream() = default;
    virtual void Close() = 0;
    virtual bool CanRead(int timeoutMs) = 0;
    virtual bool CanSeek() { return false; }
    virtual bool CanWrite(int timeoutMs) = 0;
    // One whole frame; a time-out of 0 or below waits without limit. On failure `out` is unchanged.
    virtual std::uint32_t Read(Bytes& out, int timeoutMs) = 0;
    virtual std::uint32_t Write(const Bytes& in, int timeoutMs) = 0;
    // A text message, the text's bytes and one NUL, as one frame. A stream that can send the two without
    // first joining them in one buffer does so; this default joins them.
    virtual std::uint32_t WriteText(std::string_view text, int timeoutMs) {
        Bytes payload(text.size() + 1, 0);
        std::copy(text.begin(), text.end(), payload.begin());
        return Write(payload, timeoutMs);
    }
    // One whole frame's bytes as a string, the same as Read gives; this default reads and copies.
    virtual std::uint32_t ReadText(std::string& out, int timeoutMs) {
        Bytes payload;
        const std::uint32_t code = Read(payload, timeoutMs);
        if (code == kResultOk) {
            out.assign(payload.begin(), payload.end());
        }
        return code;
    }
    // Wakes any wait, now and for good.
    virtual void Cancel() = 0;
    // Sticky: once a channel failed it stays failed.
    virtual bool IsBroken() = 0;
    virtual void Flush() {}
};

using StreamPtr = std::shared_ptr<IStream>;

// Client ends. Pipe names are always in the Windows form \\.\pipe\REST; empty on failure.
StreamPtr OpenPipeInputStream(const std::wstring& pipeName, int timeoutMs);
StreamPtr OpenPipeOutputStream(const std::wstring& pipeName, int timeoutMs);

}  // namespace sdk
