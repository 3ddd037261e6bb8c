// Fresh pipes for transport tests: a real client stream and the server end of the same pipe.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "pipes/pipe_server.h"
#include "transport/frame_channel.h"
#include "transport/rpc_connection.h"

namespace sdk::test {

// A pipe name no other test in this process uses.
std::wstring UniquePipeName(const std::wstring& tag);

// One pipe: its listener, the client's stream and the server's end.
struct PipeLink {
    std::unique_ptr<IPipeListener> listener;
    std::shared_ptr<FrameChannel> client;
    std::unique_ptr<IServerPipe> server;
};

// The client reads (an input stream) or writes (an output stream); empty members on failure.
PipeLink OpenInputLink();
PipeLink OpenOutputLink();

// An RpcConnection over three fresh pipes, with the server ends kept for the test to play the server.
// The connection is the only owner of the client streams.
struct ConnectionLinks {
    PipeLink responses;      // client input: the server writes responses here
    PipeLink requests;       // client output: the server reads requests here
    PipeLink notifications;  // client input: the server writes notifications here
    std::unique_ptr<RpcConnection> connection;
};
ConnectionLinks OpenConnectionLinks();

// Milliseconds since construction.
class Stopwatch {
public:
    long long ElapsedMs() const {
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                     start_)
            .count();
    }

private:
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

}  // namespace sdk::test
