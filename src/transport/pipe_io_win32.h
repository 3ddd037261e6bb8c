// Overlapped I/O on one pipe handle with a time-out and a cancel event: the byte work shared by the
// client pipe streams and the server side of the pipes. Windows only.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "transport/stream.h"

namespace sdk::win32 {

// A frame whose length word announces more than kMaxFramePayload; what follows it cannot be trusted.
constexpr std::uint32_t kErrorFrameTooLarge = ERROR_INVALID_DATA;

// One pipe handle with the records an overlapped operation needs. The owner keeps at most one
// operation in flight per OVERLAPPED record; the cancel event is only ever set, never reset.
struct PipeIo {
    HANDLE pipe;
    OVERLAPPED* overlapped;  // its hEvent is the manual-reset I/O event
    HANDLE cancelEvent;
};

// Waits for the operation in flight to end, for the cancel event or for the time-out (0: INFINITE),
// whichever comes first; the I/O event wins a tie. On success `transferred` holds the byte count.
// `stillPending` tells the caller that the operation must be cancelled and drained.
std::uint32_t WaitForPendingIo(const PipeIo& io, DWORD waitMs, DWORD& transferred, bool& stillPending);

// Moves exactly `size` bytes, looping over partial transfers; the time-out bounds the whole part.
// A failed wait cancels the operation and waits for it to finish before returning, so the buffer can
// be released at once. ERROR_MORE_DATA of a message-mode pipe only means that the rest follows.
std::uint32_t ReadExactly(const PipeIo& io, std::uint8_t* data, std::size_t size, int timeoutMs);
std::uint32_t WriteExactly(const PipeIo& io, const std::uint8_t* data, std::size_t size, int timeoutMs);

// One frame: a 4-byte little-endian length word, then the payload, each part waiting up to the
// time-out. On failure `out` is unchanged.
std::uint32_t ReadFrame(const PipeIo& io, Bytes& out, int timeoutMs);
std::uint32_t WriteFrame(const PipeIo& io, const Bytes& in, int timeoutMs);

}  // namespace sdk::win32
