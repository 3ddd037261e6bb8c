// The one seam between the frame channel and the operating system: a connected pipe end that moves some
// bytes at a time, each wait bounded by a deadline and woken by a cancel from any thread. Only the
// platform files implement it, and only they know the system's error numbers: every result is a small
// portable status, with the native code kept for diagnostics.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace sdk {

enum class IoStatus : std::uint8_t {
    kOk,
    kClosed,     // the peer is gone, or the pipe was closed
    kTimedOut,   // the deadline passed first
    kCancelled,  // Cancel came first (it is final)
    kTooLarge,   // a frame above the cap, refused before anything is moved or allocated
    kFailed,     // anything else; see the native code
};

struct IoResult {
    IoStatus status = IoStatus::kOk;
    std::uint32_t native = 0;  // errno or GetLastError, 0 when the status says it all
    std::size_t moved = 0;     // bytes moved, also by a transfer that then failed
};

// A point in time by which a wait must end; made from a time-out in milliseconds, where 0 or below means
// no limit.
class Deadline {
public:
    using Clock = std::chrono::steady_clock;

    explicit Deadline(int timeoutMs, Clock::time_point from = Clock::now())
        : limited_(timeoutMs > 0), at_(from + std::chrono::milliseconds(timeoutMs)) {}

    bool Limited() const { return limited_; }
    // Milliseconds left, rounded up; 0 once passed. Only meaningful when Limited.
    std::int64_t LeftMs() const {
        const auto left = at_ - Clock::now();
        return left <= Clock::duration::zero() ? 0
                                               : std::chrono::ceil<std::chrono::milliseconds>(left).count();
    }
    bool Passed() const { return limited_ && Clock::now() >= at_; }

private:
    bool limited_;
    Clock::time_point at_;
};

// Bytes to be written, one piece of a run.
struct BytesPiece {
    const std::uint8_t* data;
    std::size_t size;
};

class IBytePipe {
public:
    virtual ~IBytePipe() = default;
    // Waits until at least one byte has arrived (or the deadline, a cancel or a failure), then moves what
    // is there, up to `size`.
    virtual IoResult ReadSome(std::uint8_t* data, std::size_t size, const Deadline& deadline) = 0;
    // Moves at least one byte of `pieces`, taken in order as one run of bytes, unless the deadline, a cancel
    // or a failure comes first. Several pieces let a frame's length word and payload leave in one call
    // without being copied together first; a pipe that cannot do that may move fewer of them.
    virtual IoResult WriteSome(std::span<const BytesPiece> pieces, const Deadline& deadline) = 0;
    // Wakes every wait, now and for good. Bytes that have already arrived can still be read.
    virtual void Cancel() = 0;
    // Releases the pipe; later transfers report kClosed.
    virtual void Close() = 0;
};

enum class PipeEnd { kRead, kWrite };

// The client end of the pipe named in the Windows form \\.\pipe\REST, opened for one direction. A busy
// pipe is waited for up to `busyTimeoutMs`; a missing one fails at once. Null on failure.
std::unique_ptr<IBytePipe> OpenBytePipe(const std::wstring& name, PipeEnd end, int busyTimeoutMs);

}  // namespace sdk
