// The server side of the pipes: create a listening pipe name, accept clients, move framed messages.
// Used by the reference server and the test fixtures; the library itself is only ever a client.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "transport/byte_pipe.h"
#include "transport/frame_channel.h"

namespace sdk {

// Result codes of the server's pipes, with the values of the Windows errors they stand for.
constexpr std::uint32_t kResultOk = 0;
constexpr std::uint32_t kResultNotReady = 0xFFFFFFFFu;  // the pipe was closed
constexpr std::uint32_t kErrorInvalidData = 13;         // a frame too large, or cut short earlier
constexpr std::uint32_t kErrorBrokenPipe = 109;         // the client went away
constexpr std::uint32_t kErrorNoData = 232;
constexpr std::uint32_t kErrorPipeNotConnected = 233;
constexpr std::uint32_t kErrorOperationAborted = 995;
constexpr std::uint32_t kErrorIoPending = 997;  // time-out or cancel

// One connected client end of a pipe.
class IServerPipe {
public:
    virtual ~IServerPipe() = default;
    // One whole frame (4-byte little-endian length, then the payload); time-out 0 or below: no limit.
    // Result codes above: 0, 109 when the client went away, 997 on time-out or cancel, ...
    virtual std::uint32_t ReadMessage(Bytes& out, int timeoutMs) = 0;
    virtual std::uint32_t WriteMessage(const Bytes& in, int timeoutMs) = 0;
    // Raw bytes with no framing, for tests that send truncated or malformed frames.
    virtual std::uint32_t WriteRaw(const Bytes& in, int timeoutMs) = 0;
    // Wakes any wait, for good.
    virtual void Cancel() = 0;
    virtual void Close() = 0;
    // The connected client's process id, for pairing the two rendezvous connections of one client.
    virtual std::uint64_t PeerProcessId() = 0;
};

// A pipe name the server listens on; several clients may connect, one Accept each.
class IPipeListener {
public:
    virtual ~IPipeListener() = default;
    // The next client, or null on time-out (0 or below: no limit), Cancel or failure.
    virtual std::unique_ptr<IServerPipe> Accept(int timeoutMs) = 0;
    // Wakes Accept, for good.
    virtual void Cancel() = 0;
};

// The server end over a connected byte pipe; null when `pipe` is.
std::unique_ptr<IServerPipe> MakeServerPipe(std::unique_ptr<IBytePipe> pipe, std::uint64_t peerProcessId);

// Starts listening on a pipe name in the Windows form \\.\pipe\REST. Null when the name is already
// served by someone else or cannot be created.
std::unique_ptr<IPipeListener> ListenOnPipe(const std::wstring& pipeName);

}  // namespace sdk
