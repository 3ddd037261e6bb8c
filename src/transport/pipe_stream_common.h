// What the pipe streams of every platform share: their lifecycle states and the codes that end a channel.
#pragma once

#include <cstdint>

#include "transport/stream.h"

namespace sdk {

enum StreamState : std::int32_t {
    kStreamIdle = -1,       // no handle yet
    kStreamClientOpen = 1,  // the client end is open
    kStreamClosed = 3,      // the handle was closed
    kStreamReadReady = 6,   // an input stream ready for use
    kStreamWriteReady = 7,  // an output stream ready for use
};

// A result that leaves the stream broken for good: the peer is gone, or a wait ended without its data
// (after a time-out or cancel nobody knows how much of a frame is still to come).
constexpr bool IsChannelFailure(std::uint32_t code) {
    return code == kErrorBrokenPipe || code == kErrorNoData || code == kErrorPipeNotConnected ||
           code == kErrorOperationAborted || code == kErrorIoPending;
}

}  // namespace sdk
