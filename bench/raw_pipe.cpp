#include "raw_pipe.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace sdk::bench {
namespace {

bool WriteAll(int fd, const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool ReadAll(int fd, std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::recv(fd, data, size, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// One whole frame into `buffer`, which keeps its capacity from frame to frame.
bool ReadFrame(int fd, std::vector<std::uint8_t>& buffer) {
    std::uint8_t word[4];
    if (!ReadAll(fd, word, 4)) return false;
    const std::uint32_t length = word[0] | (word[1] << 8) | (word[2] << 16) | (std::uint32_t{word[3]} << 24);
    if (buffer.size() < length) buffer.resize(length);
    return ReadAll(fd, buffer.data(), length);
}

void CloseBoth(int (&fds)[2]) {
    for (int& fd : fds) {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
}

}  // namespace

std::int64_t NowNanoseconds() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

Frame TextFrame(const std::string& text) {
    const auto length = static_cast<std::uint32_t>(text.size() + 1);
    Frame frame(4 + text.size() + 1, 0);
    for (int i = 0; i < 4; ++i)
        frame[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(length >> (8 * i));
    std::copy(text.begin(), text.end(), frame.begin() + 4);
    return frame;
}

RawRoundTrip::RawRoundTrip(const std::string& responseText) : response_(TextFrame(responseText)) {
    ok_ = ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, requestPipe_) == 0 &&
          ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, responsePipe_) == 0;
    if (ok_) server_ = std::thread(&RawRoundTrip::Serve, this);
}

RawRoundTrip::~RawRoundTrip() {
    // Closing the client's request end ends the server's read.
    if (requestPipe_[0] >= 0) ::shutdown(requestPipe_[0], SHUT_RDWR);
    if (server_.joinable()) server_.join();
    CloseBoth(requestPipe_);
    CloseBoth(responsePipe_);
}

void RawRoundTrip::Serve() {
    std::vector<std::uint8_t> buffer;
    while (ReadFrame(requestPipe_[1], buffer)) {
        if (!WriteAll(responsePipe_[1], response_.data(), response_.size())) return;
    }
}

bool RawRoundTrip::Exchange(const Frame& request) {
    return WriteAll(requestPipe_[0], request.data(), request.size()) &&
           ReadFrame(responsePipe_[0], clientBuffer_);
}

RawOneWay::RawOneWay(bool handOff) : handOff_(handOff) {
    ok_ = ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pipe_) == 0;
    if (ok_) {
        reader_ = std::thread(&RawOneWay::Read, this);
        if (handOff_) dispatcher_ = std::thread(&RawOneWay::Dispatch, this);
    }
}

RawOneWay::~RawOneWay() {
    if (pipe_[0] >= 0) ::shutdown(pipe_[0], SHUT_RDWR);
    if (reader_.joinable()) reader_.join();
    {
        std::lock_guard<std::mutex> lock(queueMutex_);
        stopping_ = true;
    }
    queueCondition_.notify_all();
    if (dispatcher_.joinable()) dispatcher_.join();
    CloseBoth(pipe_);
}

void RawOneWay::Read() {
    std::vector<std::uint8_t> buffer;
    while (ReadFrame(pipe_[1], buffer)) {
        if (handOff_) {
            {
                std::lock_guard<std::mutex> lock(queueMutex_);
                queue_.push_back(buffer);
            }
            queueCondition_.notify_one();
            continue;
        }
        arrivedAt_.store(NowNanoseconds(), std::memory_order_relaxed);
        arrived_.fetch_add(1, std::memory_order_release);
        arrived_.notify_one();
    }
}

void RawOneWay::Dispatch() {
    std::unique_lock<std::mutex> lock(queueMutex_);
    for (;;) {
        queueCondition_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (stopping_) return;
        queue_.clear();
        arrivedAt_.store(NowNanoseconds(), std::memory_order_relaxed);
        arrived_.fetch_add(1, std::memory_order_release);
        arrived_.notify_one();
    }
}

std::chrono::nanoseconds RawOneWay::Send(const Frame& frame) {
    const std::uint64_t before = arrived_.load(std::memory_order_acquire);
    const std::int64_t start = NowNanoseconds();
    if (!WriteAll(pipe_[0], frame.data(), frame.size())) return std::chrono::nanoseconds(-1);
    arrived_.wait(before, std::memory_order_acquire);
    return std::chrono::nanoseconds(arrivedAt_.load(std::memory_order_relaxed) - start);
}

}  // namespace sdk::bench
