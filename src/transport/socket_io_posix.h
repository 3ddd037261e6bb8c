// Framed messages over a connected Unix domain stream socket, shared by the client streams and the server
// side of the pipes. Result codes are the Windows values of stream.h, so the layers above behave the same
// on every platform.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "transport/stream.h"

namespace sdk {

// A manual-reset event that is never reset: once signalled, every poll() that includes it ends at once.
// Listeners wait for clients with it.
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

// What has arrived on a socket but not yet been taken by a frame read. Reading whatever is there in one
// call, instead of the length word and the payload in two, saves a call per message and takes several
// queued messages at once.
class ReceiveBuffer {
public:
    std::size_t Size() const { return end_ - start_; }
    const std::uint8_t* Data() const { return storage_.data() + start_; }
    void Consume(std::size_t count);
    // Room for at least one more byte at the end, as far as the capacity allows.
    std::uint8_t* Room(std::size_t& size);
    void Added(std::size_t count) { end_ += count; }

    // Messages up to this size (a full keyboard's colours for several devices) arrive in one call.
    static constexpr std::size_t kCapacity = 64 * 1024;

private:
    std::vector<std::uint8_t> storage_;  // allocated on the first read
    std::size_t start_ = 0;
    std::size_t end_ = 0;
};

// One connected socket's transfers. The socket blocks: every wait is the transfer call itself, bounded by
// the socket's own time-out, and a cancel wakes it by shutting the socket down. (A wait of its own before
// each transfer would cost one more kernel call per message, a good part of what a small exchange costs.)
// One thread may receive while another sends; Cancel may come from any thread.
class SocketChannel {
public:
    // Takes the socket into blocking mode; Valid() is false when that fails.
    explicit SocketChannel(int socket);
    SocketChannel(const SocketChannel&) = delete;
    SocketChannel& operator=(const SocketChannel&) = delete;

    bool Valid() const { return valid_; }

    // Moves exactly `size` bytes, continuing after partial transfers; each byte counted in `transferred`.
    // A time-out of 0 or below waits without limit; a time-out or cancel gives kErrorIoPending.
    std::uint32_t ReceiveExact(std::uint8_t* data, std::size_t size, int timeoutMs, std::size_t& transferred);
    std::uint32_t SendExact(const std::uint8_t* data, std::size_t size, int timeoutMs,
                            std::size_t& transferred);

    // One whole frame: a 4-byte little-endian length, then the payload, each part with its own time-out.
    // On failure `out` is unchanged. `framingLost` is set when the failure leaves the byte stream inside a
    // frame (a partly moved length word or payload, or an announced length above kMaxFramePayload, which
    // is refused with kErrorInvalidData before anything is allocated): no later frame can be found then.
    std::uint32_t ReceiveFrame(Bytes& out, int timeoutMs, bool& framingLost);
    std::uint32_t ReceiveFrame(std::string& out, int timeoutMs, bool& framingLost);
    // Payloads above kMaxFramePayload are refused with kErrorInvalidData before anything is sent.
    std::uint32_t SendFrame(const Bytes& in, int timeoutMs, bool& framingLost);
    // The frame of a text message (the text and one NUL), sent without joining the two first.
    std::uint32_t SendText(std::string_view text, int timeoutMs, bool& framingLost);

    // Wakes every transfer, now and for good: `how` is the shutdown() direction to end. Data that has
    // already arrived can still be received. Must not race with the socket being closed.
    void Cancel(int how);
    bool Cancelled() const { return cancelled_.load(std::memory_order_acquire); }

private:
    // The code for a transfer that ended without data: a cancel, or the peer that left.
    std::uint32_t Ended(std::uint32_t peerCode) const;
    bool ApplyTimeout(int option, int& applied, int timeoutMs);
    template <class Out>
    std::uint32_t ReceiveInto(Out& out, int timeoutMs, bool& framingLost);
    // One frame whose payload is `first` followed by `second`.
    std::uint32_t SendParts(const std::uint8_t* first, std::size_t firstSize, const std::uint8_t* second,
                            std::size_t secondSize, int timeoutMs, bool& framingLost);

    int socket_;
    bool valid_ = false;
    std::atomic<bool> cancelled_{false};
    ReceiveBuffer received_;
    // The time-outs last given to the kernel per direction; setting one costs a call, so only changes go.
    int receiveTimeoutMs_;
    int sendTimeoutMs_;
};

}  // namespace sdk
