// A client end of a pipe that writes bytes exactly as given, without framing, to play clients that send
// truncated or oversize frames.
#pragma once

#include <memory>
#include <string>

#include "transport/frame_channel.h"

namespace sdk::test {

class RawPipeWriter {
public:
    virtual ~RawPipeWriter() = default;
    virtual bool Write(const Bytes& bytes) = 0;
    // Closes the client's end.
    virtual void Close() = 0;
};

// Null when the pipe cannot be opened.
std::unique_ptr<RawPipeWriter> OpenRawPipeWriter(const std::wstring& pipeName);

}  // namespace sdk::test
