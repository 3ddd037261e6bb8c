// Whole messages over a byte pipe, written once for every platform. A frame is a 4-byte little-endian
// length N and then N payload bytes; the length word and the payload each get one deadline in total,
// however many transfers they take. A text message is the text and one NUL.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "transport/byte_pipe.h"

namespace sdk {

using Bytes = std::vector<std::uint8_t>;

// Frames announcing more are refused before anything is allocated, and payloads above it are never sent.
constexpr std::uint32_t kMaxFramePayload = 64u * 1024u * 1024u;

// The payload of a text message as bytes: the text and one NUL.
inline Bytes TextMessage(std::string_view text) {
    Bytes payload(text.begin(), text.end());
    payload.push_back(0);
    return payload;
}

class FrameChannel {
public:
    explicit FrameChannel(std::unique_ptr<IBytePipe> pipe);
    FrameChannel(const FrameChannel&) = delete;
    FrameChannel& operator=(const FrameChannel&) = delete;

    // One whole frame; a time-out of 0 or below waits without limit. On failure `out` is unchanged.
    // The frame arrives in a spare buffer that then trades places with `out`, so a caller that keeps
    // passing the same `out` reads frame after frame without allocating.
    IoResult Read(Bytes& out, int timeoutMs) { return Receive(out, timeoutMs); }
    IoResult Read(std::string& out, int timeoutMs) { return Receive(out, timeoutMs); }
    IoResult Write(const Bytes& payload, int timeoutMs);
    IoResult WriteText(std::string_view text, int timeoutMs);
    // Bytes with no framing, under one deadline: for tests that send cut or malformed frames.
    IoResult WriteRaw(const Bytes& bytes, int timeoutMs);

    // Wakes any transfer, now and for good; may come from any thread.
    void Cancel() { pipe_->Cancel(); }
    // Only by the owner, once no other thread transfers.
    void Close() { pipe_->Close(); }
    // Sticky: true once the peer left, a wait timed out or was cancelled, or a frame was cut short. After
    // a cut frame nobody can tell where the next one starts, so every later transfer fails at once.
    bool IsBroken() const { return broken_.load(std::memory_order_acquire); }

private:
    template <class Out>
    IoResult Receive(Out& out, int timeoutMs);
    template <class Out>
    Out& Spare();
    IoResult Send(const std::uint8_t* payload, std::size_t size, bool nul, int timeoutMs);
    // Reads whatever has arrived into the receive buffer.
    IoResult Fill(const Deadline& deadline);
    std::size_t Buffered() const { return end_ - start_; }
    void Consume(std::size_t count);
    IoResult Failed(IoResult result, bool framingLost);

    std::unique_ptr<IBytePipe> pipe_;
    std::atomic<bool> broken_{false};
    std::atomic<bool> framingLost_{false};
    // Bytes that arrived but belong to no frame read yet. Reading what is there in one call rather than
    // the length word and the payload in two saves a call per message.
    Bytes received_;
    std::size_t start_ = 0;
    std::size_t end_ = 0;
    // What a reader's buffer held before the last frame replaced it, for the next frame.
    Bytes spareBytes_;
    std::string spareText_;
};

// The client end of a pipe as a frame channel; null when the pipe cannot be opened (see OpenBytePipe).
std::shared_ptr<FrameChannel> OpenFrameChannel(const std::wstring& name, PipeEnd end, int busyTimeoutMs);

}  // namespace sdk
