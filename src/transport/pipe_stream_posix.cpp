// Pipe streams over Unix domain stream sockets. Transfers and their waits are a SocketChannel's; results
// are the Windows codes the layers above expect.
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "transport/pipe_path_posix.h"
#include "transport/pipe_stream_common.h"
#include "transport/socket_io_posix.h"
#include "transport/stream.h"

namespace sdk {
namespace {

// connect() is only repeated when a signal interrupts it; a full listener queue is waited for inside it.
constexpr int kMaxOpenAttempts = 16;

timeval ToTimeval(std::chrono::milliseconds ms) {
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(ms.count() / 1000);
    tv.tv_usec = static_cast<suseconds_t>((ms.count() % 1000) * 1000);
    return tv;
}

// A blocking connect() to a listener whose queue is full waits, up to the socket's send time-out, until
// the server accepts and there is room, then retries on its own; EAGAIN afterwards means still busy.
int ConnectClientSocket(const std::string& path, int timeoutMs) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        return -1;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);

    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    bool connected = false;
    for (int attempt = 0; attempt < kMaxOpenAttempts && !connected; ++attempt) {
        std::chrono::milliseconds wait{0};  // zero: no limit
        if (timeoutMs > 0) {
            wait = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            if (wait <= std::chrono::milliseconds::zero()) {
                break;
            }
        }
        const timeval tv = ToTimeval(wait);
        if (::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) != 0) {
            break;
        }
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 ||
            errno == EISCONN) {
            connected = true;
        } else if (errno != EINTR) {
            // No socket file, nobody listening, still busy at the deadline, or a real failure.
            break;
        }
    }
    if (!connected) {
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

class PipeStreamBase {
public:
    // `cancelHow`: the direction a cancel shuts down, the stream's own.
    explicit PipeStreamBase(int cancelHow) : cancelHow_(cancelHow) {}
    virtual ~PipeStreamBase() { CancelPending(); }
    PipeStreamBase(const PipeStreamBase&) = delete;
    PipeStreamBase& operator=(const PipeStreamBase&) = delete;

    virtual std::uint32_t ReadMessage(Bytes& out, int timeoutMs) {
        bool framingLost = false;
        const std::uint32_t code = channel_->ReceiveFrame(out, timeoutMs, framingLost);
        if (framingLost) {
            broken_ = true;
        }
        return code;
    }

    std::uint32_t ReadTextMessage(std::string& out, int timeoutMs) {
        bool framingLost = false;
        const std::uint32_t code = channel_->ReceiveFrame(out, timeoutMs, framingLost);
        if (framingLost) {
            broken_ = true;
        }
        return code;
    }

    std::uint32_t WriteTextMessage(std::string_view text, int timeoutMs) {
        bool framingLost = false;
        const std::uint32_t code = channel_->SendText(text, timeoutMs, framingLost);
        if (framingLost) {
            broken_ = true;
        }
        return code;
    }

    virtual std::uint32_t WriteMessage(const Bytes& in, int timeoutMs) {
        bool framingLost = false;
        const std::uint32_t code = channel_->SendFrame(in, timeoutMs, framingLost);
        if (framingLost) {
            broken_ = true;
        }
        return code;
    }

    // Wakes whichever thread waits on this stream, now and for good; one that comes later returns at once.
    virtual void CancelPending() {
        std::lock_guard<std::mutex> lock(handleMutex_);
        cancelled_ = true;
        // Once closed, the descriptor number may already belong to another socket of the process (a
        // listener shut down this way refuses every connection), so a closed stream touches nothing.
        if (channel_ != nullptr && pipeHandle_ >= 0) {
            channel_->Cancel(cancelHow_);
        }
    }

protected:
    // Idle -> ClientOpen -> `ready`; a failed open leaves the stream Idle.
    bool Open(const std::wstring& pipeName, int timeoutMs, StreamState ready) {
        if (state_ != kStreamIdle) {
            return false;
        }
        const auto path = PipeSocketPath(pipeName, PipeDirectoryUse::kConnect);
        if (!path) {
            return false;
        }
        const int fd = ConnectClientSocket(*path, timeoutMs);
        if (fd < 0) {
            return false;
        }
        auto channel = std::make_unique<SocketChannel>(fd);
        if (!channel->Valid()) {
            ::close(fd);
            return false;
        }
        // A connected socket needs no further step, so ClientOpen passes straight on to `ready`.
        std::lock_guard<std::mutex> lock(handleMutex_);
        channel_ = std::move(channel);
        pipeHandle_ = fd;
        state_ = ready;
        if (cancelled_) {
            channel_->Cancel(cancelHow_);
        }
        return true;
    }

    void ClosePipe() {
        std::lock_guard<std::mutex> lock(handleMutex_);
        if (pipeHandle_ >= 0) {
            ::close(pipeHandle_);
            pipeHandle_ = -1;
            state_ = kStreamClosed;
        }
    }

    void NoteError(std::uint32_t code) {
        if (IsChannelFailure(code)) {
            broken_ = true;
        }
    }

    // Only the thread that transfers asks; Close comes from that thread or after it is done.
    bool HasPipe() const { return pipeHandle_ >= 0; }

    StreamState state_ = kStreamIdle;
    int pipeHandle_ = -1;
    std::atomic<bool> broken_{false};

private:
    const int cancelHow_;
    // Orders a cancel from another thread with the open and the close of the socket, so that a cancel
    // never shuts down a descriptor that has been closed and reused.
    std::mutex handleMutex_;
    bool cancelled_ = false;
    std::unique_ptr<SocketChannel> channel_;
};

class PipeInputStream final : public PipeStreamBase, public IStream {
public:
    explicit PipeInputStream(std::wstring pipeName)
        : PipeStreamBase(SHUT_RD), pipeName_(std::move(pipeName)) {}
    ~PipeInputStream() override {
        CancelPending();
        Close();
    }

    bool Open(int timeoutMs) { return PipeStreamBase::Open(pipeName_, timeoutMs, kStreamReadReady); }

    void Close() override { ClosePipe(); }
    bool CanRead(int) override { return HasPipe(); }
    bool CanWrite(int) override { return false; }
    std::uint32_t Read(Bytes& out, int timeoutMs) override {
        if (!CanRead(timeoutMs)) {
            return kResultNotReady;
        }
        const std::uint32_t code = ReadMessage(out, timeoutMs);
        NoteError(code);
        return code;
    }
    std::uint32_t ReadText(std::string& out, int timeoutMs) override {
        if (!CanRead(timeoutMs)) {
            return kResultNotReady;
        }
        const std::uint32_t code = ReadTextMessage(out, timeoutMs);
        NoteError(code);
        return code;
    }
    std::uint32_t Write(const Bytes&, int) override { return kResultNotReady; }
    std::uint32_t WriteText(std::string_view, int) override { return kResultNotReady; }
    void Cancel() override { CancelPending(); }
    bool IsBroken() override { return broken_; }

private:
    std::wstring pipeName_;
};

class PipeOutputStream final : public PipeStreamBase, public IStream {
public:
    explicit PipeOutputStream(std::wstring pipeName)
        : PipeStreamBase(SHUT_WR), pipeName_(std::move(pipeName)) {}
    ~PipeOutputStream() override {
        CancelPending();
        Close();
    }

    bool Open(int timeoutMs) { return PipeStreamBase::Open(pipeName_, timeoutMs, kStreamWriteReady); }

    void Close() override { ClosePipe(); }
    bool CanRead(int) override { return false; }
    bool CanWrite(int) override { return HasPipe(); }
    std::uint32_t Read(Bytes&, int) override { return kResultNotReady; }
    std::uint32_t ReadText(std::string&, int) override { return kResultNotReady; }
    std::uint32_t Write(const Bytes& in, int timeoutMs) override {
        if (!CanWrite(timeoutMs)) {
            return kResultNotReady;
        }
        const std::uint32_t code = WriteMessage(in, timeoutMs);
        NoteError(code);
        return code;
    }
    std::uint32_t WriteText(std::string_view text, int timeoutMs) override {
        if (!CanWrite(timeoutMs)) {
            return kResultNotReady;
        }
        const std::uint32_t code = WriteTextMessage(text, timeoutMs);
        NoteError(code);
        return code;
    }
    void Cancel() override { CancelPending(); }
    bool IsBroken() override { return broken_; }
    // A socket has no user-space buffer to flush: every frame is in the kernel once Write returns.
    void Flush() override {}

private:
    std::wstring pipeName_;
};

StreamPtr OpenPipeInputStream(const std::wstring& pipeName, int timeoutMs) {
    auto stream = std::make_shared<PipeInputStream>(pipeName);
    if (!stream->Open(timeoutMs)) {
        return nullptr;
    }
    return stream;
}

StreamPtr OpenPipeOutputStream(const std::wstring& pipeName, int timeoutMs) {
    auto stream = std::make_shared<PipeOutputStream>(pipeName);
    if (!stream->Open(timeoutMs)) {
        return nullptr;
    }
    return stream;
}

}  // namespace sdk
