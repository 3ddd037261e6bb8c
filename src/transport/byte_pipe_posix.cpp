// Byte pipes over Unix domain stream sockets. The socket blocks: every wait is the transfer call itself,
// bounded by the socket's time-out, and a cancel wakes it by shutting the socket down. (A poll before
// each transfer would cost one more kernel call per message, a good part of what a small exchange costs.)
#include "transport/byte_pipe_posix.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>

#include "transport/pipe_path_posix.h"

namespace sdk {
namespace {

// connect() is only repeated when a signal interrupts it; a full listener queue is waited for inside it.
constexpr int kMaxOpenAttempts = 16;
constexpr int kTimeoutUnknown = -2;
// Pieces handed to the kernel in one call; a frame has three at most.
constexpr std::size_t kMaxPieces = 4;

timeval ToTimeval(std::int64_t ms) {
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(ms / 1000);
    tv.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
    return tv;
}

// The one place where errno becomes a status.
IoResult FromErrno(int error) {
    switch (error) {
        case EPIPE:
        case ECONNRESET:
        case ECONNABORTED:
        case ESHUTDOWN:
        case ENOTCONN:
            return {IoStatus::kClosed, static_cast<std::uint32_t>(error)};
        default:
            return {IoStatus::kFailed, static_cast<std::uint32_t>(error)};
    }
}

class SocketPipe final : public IBytePipe {
public:
    SocketPipe(int socket, int cancelHow) : socket_(socket), cancelHow_(cancelHow) {}
    ~SocketPipe() override { Close(); }
    SocketPipe(const SocketPipe&) = delete;
    SocketPipe& operator=(const SocketPipe&) = delete;

    IoResult ReadSome(std::uint8_t* data, std::size_t size, const Deadline& deadline) override {
        return Transfer(deadline, SO_RCVTIMEO, receiveTimeoutMs_,
                        [&] { return ::recv(socket_, data, size, 0); });
    }

    IoResult WriteSome(std::span<const BytesPiece> pieces, const Deadline& deadline) override {
        iovec vectors[kMaxPieces];
        msghdr message{};
        message.msg_iov = vectors;
        message.msg_iovlen = std::min(pieces.size(), kMaxPieces);
        for (std::size_t i = 0; i < message.msg_iovlen; ++i) {
            vectors[i] = {const_cast<std::uint8_t*>(pieces[i].data), pieces[i].size};
        }
        // MSG_NOSIGNAL: a vanished peer is a status here, never a SIGPIPE for the application.
        return Transfer(deadline, SO_SNDTIMEO, sendTimeoutMs_,
                        [&] { return ::sendmsg(socket_, &message, MSG_NOSIGNAL); });
    }

    void Cancel() override {
        std::lock_guard<std::mutex> lock(handleMutex_);
        // The flag first: a transfer that the shutdown ends must find it set.
        cancelled_.store(true, std::memory_order_release);
        // Once closed, the descriptor number may already belong to another socket of the process.
        if (socket_ >= 0) {
            ::shutdown(socket_, cancelHow_);
        }
    }

    void Close() override {
        std::lock_guard<std::mutex> lock(handleMutex_);
        if (socket_ >= 0) {
            ::close(socket_);
            socket_ = -1;
        }
    }

private:
    bool Cancelled() const { return cancelled_.load(std::memory_order_acquire); }

    // The code for a transfer that ended without data: a cancel, or the peer that left.
    IoResult Ended(IoResult result) const {
        if (Cancelled()) {
            result.status = IoStatus::kCancelled;
        }
        return result;
    }

    template <class Call>
    IoResult Transfer(const Deadline& deadline, int option, int& applied, Call call) {
        if (socket_ < 0) {
            return {IoStatus::kClosed};
        }
        for (;;) {
            if (deadline.Passed()) {
                return {IoStatus::kTimedOut};
            }
            // Setting the time-out costs a call, so only a change goes to the kernel.
            const int timeoutMs = deadline.Limited() ? static_cast<int>(deadline.LeftMs()) : 0;
            if (timeoutMs != applied) {
                const timeval tv = ToTimeval(timeoutMs);
                if (::setsockopt(socket_, SOL_SOCKET, option, &tv, sizeof tv) != 0) {
                    applied = kTimeoutUnknown;
                    return FromErrno(errno);
                }
                applied = timeoutMs;
            }
            const ssize_t n = call();
            if (n > 0) {
                return {IoStatus::kOk, 0, static_cast<std::size_t>(n)};
            }
            if (n == 0) {
                return Ended({IoStatus::kClosed});
            }
            // A time-out is told by the deadline, which the next turn checks.
            if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
                return Ended(FromErrno(errno));
            }
            if (Cancelled()) {
                return {IoStatus::kCancelled};
            }
        }
    }

    int socket_;
    const int cancelHow_;
    // Orders a cancel from another thread with the close of the socket, so that a cancel never shuts
    // down a descriptor that has been closed and reused.
    std::mutex handleMutex_;
    std::atomic<bool> cancelled_{false};
    // The time-outs last given to the kernel per direction.
    int receiveTimeoutMs_ = kTimeoutUnknown;
    int sendTimeoutMs_ = kTimeoutUnknown;
};

// A blocking connect() to a listener whose queue is full waits, up to the socket's send time-out, until
// the server accepts and there is room.
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
    const Deadline deadline(timeoutMs);
    for (int attempt = 0; attempt < kMaxOpenAttempts && !deadline.Passed(); ++attempt) {
        const timeval tv = ToTimeval(deadline.Limited() ? deadline.LeftMs() : 0);
        if (::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) != 0) {
            break;
        }
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 ||
            errno == EISCONN) {
            return fd;
        }
        if (errno != EINTR) {
            break;  // no socket file, nobody listening, still busy at the deadline, or a real failure
        }
    }
    ::close(fd);
    return -1;
}

}  // namespace

std::unique_ptr<IBytePipe> AdoptSocket(int socket, int cancelHow) {
    const int flags = socket >= 0 ? ::fcntl(socket, F_GETFL) : -1;
    if (flags < 0 || ((flags & O_NONBLOCK) != 0 && ::fcntl(socket, F_SETFL, flags & ~O_NONBLOCK) != 0)) {
        if (socket >= 0) {
            ::close(socket);
        }
        return nullptr;
    }
    return std::make_unique<SocketPipe>(socket, cancelHow);
}

std::unique_ptr<IBytePipe> OpenBytePipe(const std::wstring& name, PipeEnd end, int busyTimeoutMs) {
    const auto path = PipeSocketPath(name, PipeDirectoryUse::kConnect);
    if (!path) {
        return nullptr;
    }
    const int fd = ConnectClientSocket(*path, busyTimeoutMs);
    if (fd < 0) {
        return nullptr;
    }
    return AdoptSocket(fd, end == PipeEnd::kRead ? SHUT_RD : SHUT_WR);
}

}  // namespace sdk
