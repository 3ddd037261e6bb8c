#include "transport/socket_io_posix.h"

#include <fcntl.h>
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

// The first piece of a payload that has not arrived yet; later pieces double what has.
constexpr std::size_t kFirstPayloadPiece = 64 * 1024;

constexpr std::uint32_t kErrorAccessDenied = 5;
constexpr std::uint32_t kErrorInvalidHandle = 6;
constexpr std::uint32_t kErrorNotEnoughMemory = 8;
constexpr std::uint32_t kErrorGenFailure = 31;

using Clock = std::chrono::steady_clock;

class Deadline {
public:
    explicit Deadline(int timeoutMs)
        : limited_(timeoutMs > 0), at_(Clock::now() + std::chrono::milliseconds(timeoutMs)) {}

    // What is left in milliseconds, rounded up: 0 without a limit, -1 once the deadline has passed.
    int Left() const {
        if (!limited_) {
            return 0;
        }
        const auto left = at_ - Clock::now();
        if (left <= Clock::duration::zero()) {
            return -1;
        }
        return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
    }

private:
    bool limited_;
    Clock::time_point at_;
};

constexpr int kTimeoutUnknown = -2;

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

void ReceiveBuffer::Consume(std::size_t count) {
    start_ += count;
    if (start_ == end_) {
        start_ = end_ = 0;
    }
}

std::uint8_t* ReceiveBuffer::Room(std::size_t& size) {
    if (storage_.empty()) {
        storage_.resize(kCapacity);
    } else if (start_ > 0) {
        std::memmove(storage_.data(), storage_.data() + start_, end_ - start_);
        end_ -= start_;
        start_ = 0;
    }
    size = storage_.size() - end_;
    return storage_.data() + end_;
}

SocketChannel::SocketChannel(int socket)
    : socket_(socket), receiveTimeoutMs_(kTimeoutUnknown), sendTimeoutMs_(kTimeoutUnknown) {
    const int flags = socket >= 0 ? ::fcntl(socket, F_GETFL) : -1;
    valid_ = flags >= 0 && ((flags & O_NONBLOCK) == 0 || ::fcntl(socket, F_SETFL, flags & ~O_NONBLOCK) == 0);
}

bool SocketChannel::ApplyTimeout(int option, int& applied, int timeoutMs) {
    if (timeoutMs == applied) {
        return true;
    }
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(timeoutMs / 1000);
    tv.tv_usec = static_cast<suseconds_t>((timeoutMs % 1000) * 1000);
    if (::setsockopt(socket_, SOL_SOCKET, option, &tv, sizeof tv) != 0) {
        applied = kTimeoutUnknown;
        return false;
    }
    applied = timeoutMs;
    return true;
}

void SocketChannel::Cancel(int how) {
    // The flag first: a transfer that the shutdown ends must find it set.
    cancelled_.store(true, std::memory_order_release);
    ::shutdown(socket_, how);
}

std::uint32_t SocketChannel::Ended(std::uint32_t peerCode) const {
    return Cancelled() ? kErrorIoPending : peerCode;
}

std::uint32_t SocketChannel::ReceiveExact(std::uint8_t* data, std::size_t size, int timeoutMs,
                                          std::size_t& transferred) {
    const Deadline deadline(timeoutMs);
    std::size_t done = 0;
    while (done < size) {
        const int left = deadline.Left();
        if (left < 0) {
            return kErrorIoPending;
        }
        if (!ApplyTimeout(SO_RCVTIMEO, receiveTimeoutMs_, left)) {
            return TranslateSocketError(errno);
        }
        const ssize_t n = ::recv(socket_, data + done, size - done, 0);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            transferred += static_cast<std::size_t>(n);
            continue;
        }
        if (n == 0) {
            return Ended(kErrorBrokenPipe);
        }
        if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) {
            // A time-out is told by the deadline, which the next turn checks.
            if (Cancelled()) {
                return kErrorIoPending;
            }
            continue;
        }
        return Ended(TranslateSocketError(errno));
    }
    return kResultOk;
}

std::uint32_t SocketChannel::SendExact(const std::uint8_t* data, std::size_t size, int timeoutMs,
                                       std::size_t& transferred) {
    const Deadline deadline(timeoutMs);
    std::size_t done = 0;
    while (done < size) {
        const int left = deadline.Left();
        if (left < 0) {
            return kErrorIoPending;
        }
        if (!ApplyTimeout(SO_SNDTIMEO, sendTimeoutMs_, left)) {
            return TranslateSocketError(errno);
        }
        // MSG_NOSIGNAL: a vanished peer is an error code here, never a SIGPIPE for the application.
        const ssize_t n = ::send(socket_, data + done, size - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            transferred += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (Cancelled()) {
                return kErrorIoPending;
            }
            continue;
        }
        return Ended(n == 0 ? kErrorBrokenPipe : TranslateSocketError(errno));
    }
    return kResultOk;
}

template <class Out>
std::uint32_t SocketChannel::ReceiveInto(Out& out, int timeoutMs, bool& framingLost) {
    try {
        const Deadline wordDeadline(timeoutMs);
        while (received_.Size() < 4) {
            // Whatever has arrived, up to the buffer's room: the whole of most messages in one call.
            std::uint32_t code = kResultOk;
            const int left = wordDeadline.Left();
            std::size_t room = 0;
            std::uint8_t* at = received_.Room(room);
            if (left < 0) {
                code = kErrorIoPending;
            } else if (!ApplyTimeout(SO_RCVTIMEO, receiveTimeoutMs_, left)) {
                code = TranslateSocketError(errno);
            } else {
                const ssize_t n = ::recv(socket_, at, room, 0);
                if (n > 0) {
                    received_.Added(static_cast<std::size_t>(n));
                    continue;
                }
                if (n == 0) {
                    code = Ended(kErrorBrokenPipe);
                } else if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) {
                    if (!Cancelled()) {
                        continue;
                    }
                    code = kErrorIoPending;
                } else {
                    code = Ended(TranslateSocketError(errno));
                }
            }
            // Part of a length word is as good as lost: nobody can tell when the rest would come.
            framingLost = framingLost || received_.Size() != 0;
            return code;
        }
        const std::uint8_t* word = received_.Data();
        const std::uint32_t length =
            static_cast<std::uint32_t>(word[0]) | (static_cast<std::uint32_t>(word[1]) << 8) |
            (static_cast<std::uint32_t>(word[2]) << 16) | (static_cast<std::uint32_t>(word[3]) << 24);
        received_.Consume(4);
        // From here on the length word is consumed: any failure leaves the stream inside this frame.
        if (length > kMaxFramePayload) {
            framingLost = true;
            return kErrorInvalidData;
        }
        const std::size_t have = std::min<std::size_t>(received_.Size(), length);
        Out payload;
        if (have == length) {
            payload.assign(received_.Data(), received_.Data() + length);
            received_.Consume(length);
            out.swap(payload);
            return kResultOk;
        }
        // The rest of a frame longer than what has arrived goes straight into the payload, with a time-out
        // of its own; nothing is read beyond the frame. The payload grows with the bytes that arrive rather
        // than with the length announced, so a peer that sends a length word and then nothing cannot make
        // us hold memory up to the cap; one deadline covers all the pieces.
        if (have > 0) {
            payload.assign(received_.Data(), received_.Data() + have);
            received_.Consume(have);
        }
        const Deadline deadline(timeoutMs);
        std::size_t filled = have;
        while (filled < length) {
            const std::size_t next = std::min<std::size_t>(length, std::max(kFirstPayloadPiece, filled * 2));
            payload.resize(next);
            const int left = deadline.Left();
            std::size_t moved = 0;
            const std::uint32_t code =
                left < 0 ? kErrorIoPending
                         : ReceiveExact(reinterpret_cast<std::uint8_t*>(payload.data()) + filled,
                                        next - filled, left, moved);
            if (code != kResultOk) {
                framingLost = true;
                return code;
            }
            filled = next;
        }
        out.swap(payload);
        return kResultOk;
    } catch (const std::bad_alloc&) {
        framingLost = true;
        return kErrorNotEnoughMemory;
    }
}

std::uint32_t SocketChannel::ReceiveFrame(Bytes& out, int timeoutMs, bool& framingLost) {
    return ReceiveInto(out, timeoutMs, framingLost);
}

std::uint32_t SocketChannel::ReceiveFrame(std::string& out, int timeoutMs, bool& framingLost) {
    return ReceiveInto(out, timeoutMs, framingLost);
}

std::uint32_t SocketChannel::SendFrame(const Bytes& in, int timeoutMs, bool& framingLost) {
    return SendParts(in.data(), in.size(), nullptr, 0, timeoutMs, framingLost);
}

std::uint32_t SocketChannel::SendText(std::string_view text, int timeoutMs, bool& framingLost) {
    static const std::uint8_t nul = 0;
    return SendParts(reinterpret_cast<const std::uint8_t*>(text.data()), text.size(), &nul, 1, timeoutMs,
                     framingLost);
}

std::uint32_t SocketChannel::SendParts(const std::uint8_t* first, std::size_t firstSize,
                                       const std::uint8_t* second, std::size_t secondSize, int timeoutMs,
                                       bool& framingLost) {
    const std::size_t size = firstSize + secondSize;
    if (size > kMaxFramePayload) {
        return kErrorInvalidData;
    }
    const auto length = static_cast<std::uint32_t>(size);
    std::uint8_t word[4] = {static_cast<std::uint8_t>(length), static_cast<std::uint8_t>(length >> 8),
                            static_cast<std::uint8_t>(length >> 16), static_cast<std::uint8_t>(length >> 24)};
    // The length word and the payload go in one call: the peer reads the same bytes as from two writes,
    // but is woken once, and a call is saved. Each half has one deadline in total: the length word's
    // starts now, the payload's once the length word is out, however many calls either takes.
    const Deadline wordDeadline(timeoutMs);
    std::size_t sent = 0;
    if (ApplyTimeout(SO_SNDTIMEO, sendTimeoutMs_, timeoutMs > 0 ? timeoutMs : 0)) {
        iovec parts[3] = {{word, sizeof word}, {}, {}};
        std::size_t count = 1;
        if (firstSize > 0) {
            parts[count++] = {const_cast<std::uint8_t*>(first), firstSize};
        }
        if (secondSize > 0) {
            parts[count++] = {const_cast<std::uint8_t*>(second), secondSize};
        }
        msghdr message{};
        message.msg_iov = parts;
        message.msg_iovlen = count;
        ssize_t n;
        while ((n = ::sendmsg(socket_, &message, MSG_NOSIGNAL)) < 0 && errno == EINTR && !Cancelled()) {
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            return Ended(TranslateSocketError(errno));
        }
        sent = n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    std::size_t moved = sent;
    std::uint32_t code = kResultOk;
    // The payload's deadline starts once the length word is out: with the call above when that took it.
    Deadline payloadDeadline = wordDeadline;
    if (sent < sizeof word) {
        const int left = wordDeadline.Left();
        code = left < 0 ? kErrorIoPending : SendExact(word + sent, sizeof word - sent, left, moved);
        if (code != kResultOk) {
            framingLost = framingLost || moved != 0;
            return code;
        }
        sent = sizeof word;
        payloadDeadline = Deadline(timeoutMs);
    }
    std::size_t done = sent - sizeof word;
    if (done < firstSize) {
        const int left = payloadDeadline.Left();
        code = left < 0 ? kErrorIoPending : SendExact(first + done, firstSize - done, left, moved);
        done = firstSize;
    }
    if (code == kResultOk && done < size) {
        const int left = payloadDeadline.Left();
        code = left < 0 ? kErrorIoPending : SendExact(second + (done - firstSize), size - done, left, moved);
    }
    if (code != kResultOk) {
        framingLost = true;
    }
    return code;
}

}  // namespace sdk
