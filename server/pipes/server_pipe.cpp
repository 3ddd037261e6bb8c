// One connected pipe end of the server, the same on every platform: whole frames through a frame
// channel, with the result codes the server's code expects.
#include <mutex>
#include <utility>

#include "pipes/pipe_server.h"
#include "transport/frame_channel.h"

namespace sdk {
namespace {

std::uint32_t ServerCode(const IoResult& result) {
    switch (result.status) {
        case IoStatus::kOk:
            return kResultOk;
        case IoStatus::kClosed:
            return kErrorBrokenPipe;
        case IoStatus::kTimedOut:
        case IoStatus::kCancelled:
            return kErrorIoPending;
        case IoStatus::kTooLarge:
            return kErrorInvalidData;
        case IoStatus::kFailed:
            break;
    }
    // Without a code of its own the failure is a frame cut short earlier.
    return result.native != 0 ? result.native : kErrorInvalidData;
}

class FramedServerPipe final : public IServerPipe {
public:
    FramedServerPipe(std::unique_ptr<IBytePipe> pipe, std::uint64_t peerProcessId)
        : channel_(std::move(pipe)), peerProcessId_(peerProcessId) {}
    ~FramedServerPipe() override { Close(); }

    std::uint32_t ReadMessage(Bytes& out, int timeoutMs) override {
        std::lock_guard<std::mutex> lock(readMutex_);
        return closed_ ? kResultNotReady : ServerCode(channel_.Read(out, timeoutMs));
    }
    std::uint32_t WriteMessage(const Bytes& in, int timeoutMs) override {
        std::lock_guard<std::mutex> lock(writeMutex_);
        return closed_ ? kResultNotReady : ServerCode(channel_.Write(in, timeoutMs));
    }
    std::uint32_t WriteRaw(const Bytes& in, int timeoutMs) override {
        std::lock_guard<std::mutex> lock(writeMutex_);
        return closed_ ? kResultNotReady : ServerCode(channel_.WriteRaw(in, timeoutMs));
    }
    void Cancel() override { channel_.Cancel(); }
    // Wakes and waits out transfers of other threads, so the pipe never goes away under one. Data
    // already written stays readable by the client.
    void Close() override {
        channel_.Cancel();
        std::scoped_lock lock(readMutex_, writeMutex_);
        if (!closed_) {
            closed_ = true;
            channel_.Close();
        }
    }
    std::uint64_t PeerProcessId() override { return peerProcessId_; }

private:
    FrameChannel channel_;
    std::uint64_t peerProcessId_;
    std::mutex readMutex_;
    std::mutex writeMutex_;
    bool closed_ = false;  // under both mutexes to write, either to read
};

}  // namespace

std::unique_ptr<IServerPipe> MakeServerPipe(std::unique_ptr<IBytePipe> pipe, std::uint64_t peerProcessId) {
    if (!pipe) {
        return nullptr;
    }
    return std::make_unique<FramedServerPipe>(std::move(pipe), peerProcessId);
}

}  // namespace sdk
