// Reads frames from a byte stream that a peer writes in arbitrary pieces and then closes. The frames
// read must be exactly those a plain reading of the bytes finds, in order; the first bad or cut-off
// frame must end reading with the right code, and with the stream marked as having lost its framing
// whenever part of a frame was consumed. The first input byte sets the size of the pieces.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "transport/byte_pipe_posix.h"
#include "transport/frame_channel.h"

namespace {

void Require(bool condition, const char* what) {
    if (condition) return;
    std::fprintf(stderr, "broken property: %s\n", what);
    std::abort();
}

struct Expected {
    std::vector<sdk::Bytes> frames;
    sdk::IoStatus endStatus = sdk::IoStatus::kClosed;
    bool endLosesFraming = false;
};

// The frames a plain reading of the bytes finds, and how reading must end after them.
Expected ReadPlainly(const std::uint8_t* data, std::size_t size) {
    Expected expected;
    std::size_t pos = 0;
    for (;;) {
        const std::size_t rest = size - pos;
        if (rest == 0) return expected;
        if (rest < 4) {
            expected.endLosesFraming = true;
            return expected;
        }
        const std::uint32_t length = data[pos] | (data[pos + 1] << 8) | (data[pos + 2] << 16) |
                                     (static_cast<std::uint32_t>(data[pos + 3]) << 24);
        expected.endLosesFraming = true;
        if (length > sdk::kMaxFramePayload) {
            expected.endStatus = sdk::IoStatus::kTooLarge;
            return expected;
        }
        if (rest - 4 < length) return expected;
        expected.endLosesFraming = false;
        expected.frames.emplace_back(data + pos + 4, data + pos + 4 + length);
        pos += 4 + length;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t piece = 1 + data[0] % 97;
    // Both kinds of output the reader fills, byte vectors and texts, go through the same buffering.
    const bool asText = (data[0] & 0x80) != 0;
    ++data;
    --size;
    const Expected expected = ReadPlainly(data, size);

    int fds[2];
    Require(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0, "socketpair");
    std::thread writer([&] {
        for (std::size_t pos = 0; pos < size; pos += piece) {
            const std::size_t n = size - pos < piece ? size - pos : piece;
            if (::send(fds[1], data + pos, n, MSG_NOSIGNAL) != static_cast<ssize_t>(n)) break;
        }
        ::shutdown(fds[1], SHUT_WR);
    });

    sdk::FrameChannel channel(sdk::AdoptSocket(fds[0], SHUT_RDWR));
    std::size_t index = 0;
    for (;;) {
        sdk::Bytes frame{0xEE};  // a failed read must leave this untouched
        std::string text = "\xEE";
        const sdk::IoStatus status =
            asText ? channel.Read(text, 10000).status : channel.Read(frame, 10000).status;
        if (asText) frame.assign(text.begin(), text.end());
        if (status != sdk::IoStatus::kOk) {
            Require(index == expected.frames.size(), "reading ended before the last whole frame");
            Require(status == expected.endStatus, "wrong status at the end of the frames");
            Require(frame.size() == 1 && frame[0] == 0xEE, "a failed read changed the output");
            // Once framing is lost every later read fails at once; a clean end reads as the end again.
            const bool framingLost = channel.Read(frame, 10000).status == sdk::IoStatus::kFailed;
            Require(framingLost == expected.endLosesFraming, "framing loss misreported");
            break;
        }
        Require(!channel.IsBroken(), "a good frame broke the channel");
        Require(index < expected.frames.size(), "a frame that is not in the bytes");
        Require(frame == expected.frames[index], "frame content differs");
        ++index;
    }
    // The peer may still be writing into a stream nobody reads any more; ending ours ends its wait.
    channel.Cancel();
    writer.join();
    ::close(fds[1]);
    return 0;
}
