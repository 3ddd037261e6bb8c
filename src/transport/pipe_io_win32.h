// Overlapped I/O on one pipe handle with a time-out and a cancel event: the byte work shared by the
// client pipe streams and the server side of the pipes. Results are Windows error codes.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "transport/stream.h"

namespace sdk::win32 {

// Whether a name is a pipe of this machine, \\.\pipe\REST, whose REST has no empty, "." or ".."
// component. Path normalisation would otherwise turn such a name into that of another pipe.
bool IsLocalPipeName(std::wstring_view name);

// One pipe handle with the records an overlapped operation needs. The owner keeps at most one
// operation in flight per OVERLAPPED record; the cancel event is only ever set, never reset.
struct PipeIo {
    HANDLE pipe;
    OVERLAPPED* overlapped;  // its hEvent is the manual-reset I/O event
    HANDLE cancelEvent;
};

// Waits for the operation in flight to end, for the cancel event or for the time-out (INFINITE allowed),
// whichever comes first; the I/O event wins a tie. On success `transferred` holds the byte count.
// `stillPending` tells the caller that the operation must be cancelled and drained.
std::uint32_t WaitForPendingIo(const PipeIo& io, DWORD waitMs, DWORD& transferred, bool& stillPending);

// Moves exactly `size` bytes, looping over partial transfers; every byte is counted in `transferred`.
// The time-out (0 or below: none) bounds the whole part; a time-out or cancel gives kErrorIoPending. A
// failed wait cancels the operation and waits for it to finish before returning, so the buffer can be
// released at once. ERROR_MORE_DATA of a message-mode pipe only means that the rest follows.
std::uint32_t ReadExactly(const PipeIo& io, std::uint8_t* data, std::size_t size, int timeoutMs,
                          std::size_t& transferred);
std::uint32_t WriteExactly(const PipeIo& io, const std::uint8_t* data, std::size_t size, int timeoutMs,
                           std::size_t& transferred);

// One whole frame: a 4-byte little-endian length word, then the payload, each part with its own time-out.
// On failure `out` is unchanged. `framingLost` is set when the failure leaves the byte stream inside a
// frame (a partly moved length word or payload, or an announced length above kMaxFramePayload, refused
// with kErrorInvalidData before anything is allocated): no later frame can be found then.
std::uint32_t ReadFrame(const PipeIo& io, Bytes& out, int timeoutMs, bool& framingLost);
// Payloads above kMaxFramePayload are refused with kErrorInvalidData before anything is sent.
std::uint32_t WriteFrame(const PipeIo& io, const Bytes& in, int timeoutMs, bool& framingLost);

}  // namespace sdk::win32
