// The floor: framed messages over the same kind of pipe as the library's (connected Unix domain stream
// sockets), written by hand with blocking calls, one write per frame and buffers reused, so that nothing
// is measured but the kernel and the thread wake-ups that any exchange needs.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace sdk::bench {

using Frame = std::vector<std::uint8_t>;

// The 4-byte little-endian length and then the text with one NUL: a text message as it travels.
Frame TextFrame(const std::string& text);

// A request pipe and a response pipe, and a thread that answers each request frame with a fixed frame.
class RawRoundTrip {
public:
    explicit RawRoundTrip(const std::string& responseText);
    ~RawRoundTrip();
    RawRoundTrip(const RawRoundTrip&) = delete;
    RawRoundTrip& operator=(const RawRoundTrip&) = delete;

    bool Ok() const { return ok_; }
    // Writes the request frame and reads the whole response frame; false on any failure.
    bool Exchange(const Frame& request);

private:
    void Serve();

    bool ok_ = false;
    int requestPipe_[2] = {-1, -1};   // [0] client end, [1] server end
    int responsePipe_[2] = {-1, -1};  // [0] client end, [1] server end
    Frame response_;
    std::vector<std::uint8_t> clientBuffer_;
    std::thread server_;
};

// One pipe and a reader thread that notes when each frame has been read whole. With `handOff` the reader
// instead queues the frame for a second thread, as a delivery thread of its own needs, and the second
// thread notes the time it took the frame: the least that a reader and a separate dispatcher can cost.
class RawOneWay {
public:
    explicit RawOneWay(bool handOff = false);
    ~RawOneWay();
    RawOneWay(const RawOneWay&) = delete;
    RawOneWay& operator=(const RawOneWay&) = delete;

    bool Ok() const { return ok_; }
    // Writes the frame and waits until the reader has it; the time from just before the write to the
    // reader's return from its read.
    std::chrono::nanoseconds Send(const Frame& frame);

private:
    void Read();
    void Dispatch();

    bool ok_ = false;
    bool handOff_ = false;
    std::mutex queueMutex_;
    std::condition_variable queueCondition_;
    std::deque<std::vector<std::uint8_t>> queue_;
    bool stopping_ = false;
    std::thread dispatcher_;
    int pipe_[2] = {-1, -1};  // [0] writer, [1] reader
    std::atomic<std::uint64_t> arrived_{0};
    std::atomic<std::int64_t> arrivedAt_{0};
    std::thread reader_;
};

// The clock both one-way measurements use, in nanoseconds.
std::int64_t NowNanoseconds();

}  // namespace sdk::bench
