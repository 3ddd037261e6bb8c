// Framed messages over a connected, non-blocking Unix domain stream socket, shared by the client streams
// and the server side of the pipes. Every wait is one poll() over the socket and a cancel event; result
// codes are the Windows values of stream.h, so the layers above behave the same on every platform.
#pragma once

#include <cstddef>
#include <cstdint>

#include "transport/stream.h"

namespace sdk {

// A manual-reset event that is never reset: once signalled, every wait that includes it ends at once.
class CancelEvent {
public:
    CancelEvent();
    ~CancelEvent();
    CancelEvent(const CancelEvent&) = delete;
    CancelEvent& operator=(const CancelEvent&) = delete;

    void Signal();
    bool IsSignalled() const;
    // -1 when the event could not be created; waits then cannot be cancelled.
    int Descriptor() const { return fd_; }

private:
    int fd_ = -1;
};

// The Windows code for an errno value of a socket operation.
std::uint32_t TranslateSocketError(int error);

// Moves exactly `size` bytes, continuing after partial transfers; each byte counted in `transferred`.
// A time-out of 0 or below waits without limit; a time-out or cancel gives kErrorIoPending.
std::uint32_t ReceiveExact(int socket, int cancelFd, std::uint8_t* data, std::size_t size, int timeoutMs,
                           std::size_t& transferred);
std::uint32_t SendExact(int socket, int cancelFd, const std::uint8_t* data, std::size_t size,
                        int timeoutMs, std::size_t& transferred);

// One whole frame: a 4-byte little-endian length, then the payload, each part with its own time-out.
// On failure `out` is unchanged. `framingLost` is set when the failure leaves the byte stream inside a
// frame (a partly moved length word or payload, or an announced length above kMaxFramePayload, which is
// refused with kErrorInvalidData before anything is allocated): no later frame can be found then.
std::uint32_t ReceiveFrame(int socket, int cancelFd, Bytes& out, int timeoutMs, bool& framingLost);
// Payloads above kMaxFramePayload are refused with kErrorInvalidData before anything is sent.
std::uint32_t SendFrame(int socket, int cancelFd, const Bytes& in, int timeoutMs, bool& framingLost);

}  // namespace sdk
