#include "transport/frame_channel.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

namespace sdk {
namespace {

// Messages up to this size (a full keyboard's colours for several devices) go in one transfer each way.
constexpr std::size_t kReceiveCapacity = 64 * 1024;
// The first piece of a payload that has not arrived yet; later pieces double what has. A peer that
// announces a large frame and sends nothing cannot make us hold memory up to the cap.
constexpr std::size_t kFirstPayloadPiece = 64 * 1024;
// A spare buffer above this is given back: one huge frame must not stay held for the channel's life.
constexpr std::size_t kKeptSpareCapacity = 1024 * 1024;

bool EndsChannel(IoStatus status) {
    return status == IoStatus::kClosed || status == IoStatus::kTimedOut || status == IoStatus::kCancelled;
}

template <class Out>
std::uint8_t* BytesOf(Out& out) {
    return reinterpret_cast<std::uint8_t*>(out.data());
}

}  // namespace

FrameChannel::FrameChannel(std::unique_ptr<IBytePipe> pipe) : pipe_(std::move(pipe)) {}

IoResult FrameChannel::Failed(IoResult result, bool framingLost) {
    if (framingLost) {
        framingLost_ = true;
    }
    if (framingLost_ || EndsChannel(result.status)) {
        broken_.store(true, std::memory_order_release);
    }
    return result;
}

void FrameChannel::Consume(std::size_t count) {
    start_ += count;
    if (start_ == end_) {
        start_ = end_ = 0;
    }
}

IoResult FrameChannel::Fill(const Deadline& deadline) {
    if (received_.empty()) {
        received_.resize(kReceiveCapacity);
    } else if (start_ > 0) {
        std::memmove(received_.data(), received_.data() + start_, Buffered());
        end_ -= start_;
        start_ = 0;
    }
    const IoResult result = pipe_->ReadSome(received_.data() + end_, received_.size() - end_, deadline);
    end_ += result.moved;
    return result;
}

template <>
Bytes& FrameChannel::Spare<Bytes>() {
    return spareBytes_;
}

template <>
std::string& FrameChannel::Spare<std::string>() {
    return spareText_;
}

template <class Out>
IoResult FrameChannel::Receive(Out& out, int timeoutMs) {
    if (framingLost_) {
        return {IoStatus::kFailed};
    }
    try {
        const Deadline wordDeadline(timeoutMs);
        // The payload's deadline starts with the transfer that completed the length word.
        Deadline::Clock::time_point wordDone = Deadline::Clock::now();
        while (Buffered() < 4) {
            wordDone = Deadline::Clock::now();
            const IoResult result = Fill(wordDeadline);
            if (result.status != IoStatus::kOk) {
                // Part of a length word is as good as lost: nobody can tell when the rest would come.
                return Failed(result, Buffered() != 0);
            }
        }
        const std::uint8_t* word = received_.data() + start_;
        const std::uint32_t length =
            static_cast<std::uint32_t>(word[0]) | (static_cast<std::uint32_t>(word[1]) << 8) |
            (static_cast<std::uint32_t>(word[2]) << 16) | (static_cast<std::uint32_t>(word[3]) << 24);
        Consume(4);
        // From here on the length word is consumed: any failure leaves the stream inside this frame.
        if (length > kMaxFramePayload) {
            return Failed({IoStatus::kTooLarge}, true);
        }
        const Deadline payloadDeadline(timeoutMs, wordDone);
        const std::size_t have = std::min<std::size_t>(Buffered(), length);
        Out& payload = Spare<Out>();
        // Resized and copied rather than assigned from byte pointers, which a string would first copy
        // into a temporary of its own.
        payload.resize(have);
        if (have > 0) std::memcpy(BytesOf(payload), received_.data() + start_, have);
        Consume(have);
        // The rest goes straight into the payload; nothing is read beyond the frame.
        std::size_t filled = have;
        while (filled < length) {
            const std::size_t next = std::min<std::size_t>(length, std::max(kFirstPayloadPiece, filled * 2));
            payload.resize(next);
            while (filled < next) {
                const IoResult result =
                    pipe_->ReadSome(BytesOf(payload) + filled, next - filled, payloadDeadline);
                filled += result.moved;
                if (result.status != IoStatus::kOk) {
                    return Failed(result, true);
                }
            }
        }
        out.swap(payload);
        if (payload.capacity() > kKeptSpareCapacity) Out().swap(payload);
        return {};
    } catch (const std::bad_alloc&) {
        return Failed({IoStatus::kFailed}, true);
    }
}

template IoResult FrameChannel::Receive(Bytes& out, int timeoutMs);
template IoResult FrameChannel::Receive(std::string& out, int timeoutMs);

IoResult FrameChannel::Write(const Bytes& payload, int timeoutMs) {
    return Send(payload.data(), payload.size(), false, timeoutMs);
}

IoResult FrameChannel::WriteText(std::string_view text, int timeoutMs) {
    return Send(reinterpret_cast<const std::uint8_t*>(text.data()), text.size(), true, timeoutMs);
}

IoResult FrameChannel::Send(const std::uint8_t* payload, std::size_t size, bool nul, int timeoutMs) {
    if (framingLost_) {
        return {IoStatus::kFailed};
    }
    const std::size_t total = size + (nul ? 1 : 0);
    if (total > kMaxFramePayload) {
        return {IoStatus::kTooLarge};  // nothing was sent: the channel stays usable
    }
    const auto length = static_cast<std::uint32_t>(total);
    const std::uint8_t word[4] = {static_cast<std::uint8_t>(length), static_cast<std::uint8_t>(length >> 8),
                                  static_cast<std::uint8_t>(length >> 16),
                                  static_cast<std::uint8_t>(length >> 24)};
    static const std::uint8_t kNul = 0;
    // One call for the whole frame where the pipe can take its pieces together: the peer reads the same
    // bytes, but is woken once.
    BytesPiece pieces[3] = {{word, 4}, {payload, size}, {&kNul, nul ? 1u : 0u}};
    std::size_t first = 0;
    Deadline deadline(timeoutMs);  // the length word's, then the payload's
    std::size_t sent = 0;
    while (first < std::size(pieces)) {
        const auto started = Deadline::Clock::now();
        const IoResult result = pipe_->WriteSome(std::span(pieces).subspan(first), deadline);
        if (sent < 4 && sent + result.moved >= 4) {
            deadline = Deadline(timeoutMs, started);
        }
        sent += result.moved;
        std::size_t moved = result.moved;
        while (first < std::size(pieces) && moved >= pieces[first].size) {
            moved -= pieces[first++].size;
        }
        if (first < std::size(pieces)) {
            pieces[first].data += moved;
            pieces[first].size -= moved;
        }
        if (result.status != IoStatus::kOk) {
            return Failed(result, sent != 0);
        }
    }
    return {};
}

IoResult FrameChannel::WriteRaw(const Bytes& bytes, int timeoutMs) {
    const Deadline deadline(timeoutMs);
    std::size_t done = 0;
    while (done < bytes.size()) {
        const BytesPiece rest{bytes.data() + done, bytes.size() - done};
        const IoResult result = pipe_->WriteSome(std::span(&rest, 1), deadline);
        done += result.moved;
        if (result.status != IoStatus::kOk) {
            return Failed(result, false);
        }
    }
    return {};
}

std::shared_ptr<FrameChannel> OpenFrameChannel(const std::wstring& name, PipeEnd end, int busyTimeoutMs) {
    std::unique_ptr<IBytePipe> pipe = OpenBytePipe(name, end, busyTimeoutMs);
    if (!pipe) {
        return nullptr;
    }
    return std::make_shared<FrameChannel>(std::move(pipe));
}

}  // namespace sdk
