#include "transport/socket_io_posix.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <new>

namespace sdk {
namespace {

constexpr std::uint32_t kErrorAccessDenied = 5;
constexpr std::uint32_t kErrorInvalidHandle = 6;
constexpr std::uint32_t kErrorNotEnoughMemory = 8;
constexpr std::uint32_t kErrorGenFailure = 31;

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

// One receive of whatever the socket has, into the free room of the buffer. The wait comes first: a read
// that starts a message usually finds nothing yet, and trying first would only cost a call.
std::uint32_t FillOnce(int socket, int cancelFd, std::vector<std::uint8_t>& storage, std::size_t& end,
                       const Deadline& deadline) {
    if (const std::uint32_t code = WaitReady(socket, POLLIN, cancelFd, deadline); code != kResultOk) {
        return code;
    }
    for (;;) {
        const ssize_t n = ::recv(socket, storage.data() + end, storage.size() - end, 0);
        if (n > 0) {
            end += static_cast<std::size_t>(n);
            return kResultOk;
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

std::uint32_t ReceiveExact(int socket, int cancelFd, std::uint8_t* data, std::size_t size, int timeoutMs,
                           std::size_t& transferred) {
    const Deadline deadline(timeoutMs);
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

std::uint32_t ReceiveBuffer::Fill(int socket, int cancelFd, int timeoutMs) {
    if (storage_.empty()) {
        storage_.resize(kCapacity);
    } else if (start_ > 0) {
        std::memmove(storage_.data(), storage_.data() + start_, end_ - start_);
        end_ -= start_;
        start_ = 0;
    }
    return FillOnce(socket, cancelFd, storage_, end_, Deadline(timeoutMs));
}

void ReceiveBuffer::Consume(std::size_t count) {
    start_ += count;
    if (start_ == end_) {
        start_ = end_ = 0;
    }
}

std::uint32_t ReceiveFrame(int socket, int cancelFd, ReceiveBuffer& received, Bytes& out, int timeoutMs,
                           bool& framingLost) {
    try {
        const Deadline wordDeadline(timeoutMs);
        while (received.Size() < 4) {
            const int left = wordDeadline.PollTimeout();
            const std::uint32_t code =
                left == 0 ? kErrorIoPending : received.Fill(socket, cancelFd, left < 0 ? 0 : left);
            if (code != kResultOk) {
                // Part of a length word is as good as lost: nobody can tell when the rest would come.
                framingLost = framingLost || received.Size() != 0;
                return code;
            }
        }
        const std::uint8_t* word = received.Data();
        const std::uint32_t length =
            static_cast<std::uint32_t>(word[0]) | (static_cast<std::uint32_t>(word[1]) << 8) |
            (static_cast<std::uint32_t>(word[2]) << 16) | (static_cast<std::uint32_t>(word[3]) << 24);
        received.Consume(4);
        // From here on the length word is consumed: any failure leaves the stream inside this frame.
        if (length > kMaxFramePayload) {
            framingLost = true;
            return kErrorInvalidData;
        }
        const std::size_t have = std::min<std::size_t>(received.Size(), length);
        Bytes payload;
        if (have == length) {
            payload.assign(received.Data(), received.Data() + length);
            received.Consume(length);
            out.swap(payload);
            return kResultOk;
        }
        // The rest of a frame longer than what has arrived goes straight into the payload, with a time-out
        // of its own; nothing is read beyond the frame.
        payload.resize(length);
        std::memcpy(payload.data(), received.Data(), have);
        received.Consume(have);
        std::size_t moved = 0;
        const std::uint32_t code =
            ReceiveExact(socket, cancelFd, payload.data() + have, length - have, timeoutMs, moved);
        if (code != kResultOk) {
            framingLost = true;
            return code;
        }
        out.swap(payload);
        return kResultOk;
    } catch (const std::bad_alloc&) {
        framingLost = true;
        return kErrorNotEnoughMemory;
    }
}

std::uint32_t SendFrame(int socket, int cancelFd, const Bytes& in, int timeoutMs, bool& framingLost) {
    if (in.size() > kMaxFramePayload) {
        return kErrorInvalidData;
    }
    const auto length = static_cast<std::uint32_t>(in.size());
    std::uint8_t word[4] = {static_cast<std::uint8_t>(length), static_cast<std::uint8_t>(length >> 8),
                            static_cast<std::uint8_t>(length >> 16), static_cast<std::uint8_t>(length >> 24)};
    // The length word and the payload go in one call when the socket takes them: the peer reads the same
    // bytes as from two writes, but is woken once, and a call is saved. Whatever is left after a partial
    // transfer goes as before, the length word and then the payload, each with its own time-out.
    iovec parts[2] = {{word, sizeof word}, {const_cast<std::uint8_t*>(in.data()), in.size()}};
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = in.empty() ? 1 : 2;
    ssize_t n;
    while ((n = ::sendmsg(socket, &message, MSG_NOSIGNAL)) < 0 && errno == EINTR) {
    }
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
        return TranslateSocketError(errno);
    }
    std::size_t sent = n > 0 ? static_cast<std::size_t>(n) : 0;
    std::size_t moved = sent;
    std::uint32_t code = kResultOk;
    if (sent < sizeof word) {
        code = SendExact(socket, cancelFd, word + sent, sizeof word - sent, timeoutMs, moved);
        if (code != kResultOk) {
            framingLost = framingLost || moved != 0;
            return code;
        }
        sent = sizeof word;
    }
    const std::size_t payloadSent = sent - sizeof word;
    if (payloadSent == in.size()) {
        return kResultOk;
    }
    code = SendExact(socket, cancelFd, in.data() + payloadSent, in.size() - payloadSent, timeoutMs, moved);
    if (code != kResultOk) {
        framingLost = true;
    }
    return code;
}

}  // namespace sdk
