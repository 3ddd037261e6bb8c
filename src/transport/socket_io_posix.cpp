#include "transport/socket_io_posix.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <new>

namespace sdk {
namespace {

constexpr std::uint32_t kErrorAccessDenied = 5;
constexpr std::uint32_t kErrorInvalidHandle = 6;
constexpr std::uint32_t kErrorNotEnoughMemory = 8;
constexpr std::uint32_t kErrorGenFailure = 31;
constexpr std::size_t kFirstPayloadPiece = 64 * 1024;

using Clock = std::chrono::steady_clock;

class Deadline {
public:
    explicit Deadline(int timeoutMs)
        : limited_(timeoutMs > 0), at_(Clock::now() + std::chrono::milliseconds(timeoutMs)) {}

    // The poll() time-out for what is left: -1 without a limit, 0 once the deadline has passed.
    int PollTimeout() const {
        if (!limited_) {
            return -1;
        }
        const auto left = at_ - Clock::now();
        if (left <= Clock::duration::zero()) {
            return 0;
        }
        // Rounded up, so that poll() never returns just before the deadline and spins.
        return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
    }

private:
    bool limited_;
    Clock::time_point at_;
};

// Waits until the socket is ready for `events`. The socket wins when both it and the cancel event are
// ready, so a transfer whose data is already there still completes after a cancel.
std::uint32_t WaitReady(int socket, short events, int cancelFd, const Deadline& deadline) {
    for (;;) {
        const int timeout = deadline.PollTimeout();
        if (timeout == 0) {
            return kErrorIoPending;
        }
        pollfd fds[2] = {{socket, events, 0}, {cancelFd, POLLIN, 0}};
        const int n = ::poll(fds, cancelFd >= 0 ? 2 : 1, timeout);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return TranslateSocketError(errno);
        }
        if (fds[0].revents != 0) {
            return kResultOk;
        }
        if (cancelFd >= 0 && fds[1].revents != 0) {
            return kErrorIoPending;
        }
    }
}

}  // namespace

CancelEvent::CancelEvent() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

CancelEvent::~CancelEvent() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

void CancelEvent::Signal() {
    if (fd_ < 0) {
        return;
    }
    const std::uint64_t one = 1;
    // The counter stays above zero because nobody reads it, so the event stays signalled.
    while (::write(fd_, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

bool CancelEvent::IsSignalled() const {
    if (fd_ < 0) {
        return false;
    }
    pollfd fd = {fd_, POLLIN, 0};
    int n;
    while ((n = ::poll(&fd, 1, 0)) < 0 && errno == EINTR) {
    }
    return n > 0;
}

std::uint32_t TranslateSocketError(int error) {
    switch (error) {
        case EPIPE:
        case ECONNRESET:
        case ECONNABORTED:
        case ESHUTDOWN:
            return kErrorBrokenPipe;
        case ENOTCONN:
            return kErrorPipeNotConnected;
        case EAGAIN:
            return kErrorPipeBusy;
        case EBADF:
        case ENOTSOCK:
            return kErrorInvalidHandle;
        case ENOMEM:
        case ENOBUFS:
            return kErrorNotEnoughMemory;
        case EACCES:
        case EPERM:
            return kErrorAccessDenied;
        default:
            return kErrorGenFailure;
    }
}

namespace {

std::uint32_t ReceiveWithin(int socket, int cancelFd, std::uint8_t* data, std::size_t size,
                            const Deadline& deadline, std::size_t& transferred) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::recv(socket, data + done, size - done, 0);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            transferred += static_cast<std::size_t>(n);
            continue;
        }
        if (n == 0) {
            return kErrorBrokenPipe;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            return TranslateSocketError(errno);
        }
        if (const std::uint32_t code = WaitReady(socket, POLLIN, cancelFd, deadline); code != kResultOk) {
            return code;
        }
    }
    return kResultOk;
}

}  // namespace

std::uint32_t ReceiveExact(int socket, int cancelFd, std::uint8_t* data, std::size_t size, int timeoutMs,
                           std::size_t& transferred) {
    return ReceiveWithin(socket, cancelFd, data, size, Deadline(timeoutMs), transferred);
}

std::uint32_t SendExact(int socket, int cancelFd, const std::uint8_t* data, std::size_t size, int timeoutMs,
                        std::size_t& transferred) {
    const Deadline deadline(timeoutMs);
    std::size_t done = 0;
    while (done < size) {
        // MSG_NOSIGNAL: a vanished peer is an error code here, never a SIGPIPE for the application.
        const ssize_t n = ::send(socket, data + done, size - done, MSG_NOSIGNAL);
        if (n >= 0) {
            done += static_cast<std::size_t>(n);
            transferred += static_cast<std::size_t>(n);
            continue;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            return TranslateSocketError(errno);
        }
        if (const std::uint32_t code = WaitReady(socket, POLLOUT, cancelFd, deadline); code != kResultOk) {
            return code;
        }
    }
    return kResultOk;
}

std::uint32_t ReceiveFrame(int socket, int cancelFd, Bytes& out, int timeoutMs, bool& framingLost) {
    std::uint8_t word[4] = {};
    std::size_t moved = 0;
    std::uint32_t code = ReceiveExact(socket, cancelFd, word, sizeof word, timeoutMs, moved);
    if (code != kResultOk) {
        framingLost = framingLost || moved != 0;
        return code;
    }
    const std::uint32_t length =
        static_cast<std::uint32_t>(word[0]) | (static_cast<std::uint32_t>(word[1]) << 8) |
        (static_cast<std::uint32_t>(word[2]) << 16) | (static_cast<std::uint32_t>(word[3]) << 24);
    // From here on the length word is consumed: any failure leaves the stream inside this frame.
    if (length > kMaxFramePayload) {
        framingLost = true;
        return kErrorInvalidData;
    }
    // The buffer grows with the bytes that arrive rather than with the length announced, so a peer that
    // sends a length word and then nothing cannot make us hold memory up to the cap. One deadline covers
    // the whole payload, however many pieces it takes.
    const Deadline deadline(timeoutMs);
    Bytes buffer;
    std::size_t have = 0;
    while (have < length) {
        const std::size_t next = std::min<std::size_t>(length, std::max(kFirstPayloadPiece, have * 2));
        try {
            buffer.resize(next);
        } catch (const std::bad_alloc&) {
            framingLost = true;
            return kErrorNotEnoughMemory;
        }
        moved = 0;
        code = ReceiveWithin(socket, cancelFd, buffer.data() + have, next - have, deadline, moved);
        if (code != kResultOk) {
            framingLost = true;
            return code;
        }
        have = next;
    }
    out.swap(buffer);
    return kResultOk;
}

std::uint32_t SendFrame(int socket, int cancelFd, const Bytes& in, int timeoutMs, bool& framingLost) {
    if (in.size() > kMaxFramePayload) {
        return kErrorInvalidData;
    }
    const auto length = static_cast<std::uint32_t>(in.size());
    const std::uint8_t word[4] = {static_cast<std::uint8_t>(length), static_cast<std::uint8_t>(length >> 8),
                                  static_cast<std::uint8_t>(length >> 16),
                                  static_cast<std::uint8_t>(length >> 24)};
    std::size_t moved = 0;
    std::uint32_t code = SendExact(socket, cancelFd, word, sizeof word, timeoutMs, moved);
    if (code != kResultOk) {
        framingLost = framingLost || moved != 0;
        return code;
    }
    if (in.empty()) {
        return kResultOk;
    }
    moved = 0;
    code = SendExact(socket, cancelFd, in.data(), in.size(), timeoutMs, moved);
    if (code != kResultOk) {
        framingLost = true;
    }
    return code;
}

}  // namespace sdk
