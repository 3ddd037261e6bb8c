// The colour buffer and the two asynchronous colour queues, part of the client state.
//
// Locks: the buffer mutex and each queue's mutex are never held together, nor while the connection
// mutex is being waited for, an exchange runs or a callback is called. A flush takes the buffer out under
// the buffer mutex, lets go of it, and only then queues what it took; once written, its sets go back
// under the buffer mutex alone.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "api/async_queue.h"
#include "api/led_color_set.h"
#include "veltari.h"

namespace sdk {

// Colours stored per device for a later flush.
class ColorBuffer {
public:
    void Store(int deviceIndex, int count, const VeltariLedColor* colors);
    // Everything stored, leaving the buffer empty.
    DeviceLedColors TakeAll();
    // Takes back what TakeAll gave once it is written out: its sets, emptied, serve later Stores, so a
    // frame loop of buffering and flushing allocates nothing.
    void Recycle(DeviceLedColors&& used);

private:
    // Sets kept for reuse at most; a caller that buffers for many devices once does not keep them all.
    static constexpr std::size_t kMostSpareSets = 16;

    std::mutex mutex_;
    DeviceLedColors devices_;
    DeviceLedColors spare_;  // empty sets, by the device they last served
};

// Asynchronous sets: all colours queued between two passes go out as one "VeltariSetLedsColors" request.
class SetColorsQueue final : public AsyncQueue {
public:
    using AsyncQueue::AsyncQueue;
    ~SetColorsQueue() override { Join(); }

    // False when the queue no longer takes calls (unload has begun); throws when the worker cannot be
    // started. Nothing is queued unless it returns true.
    bool Queue(int count, const VeltariLedColor* colors, AsyncCallbackEntry entry);

private:
    void TakePendingLocked() noexcept override;
    void WriteTakenRequest(std::string& out) override;

    // Swapped whole when the worker takes the queue, so the queue mutex is held for two pointer moves.
    std::unique_ptr<LedColorSet> pending_ = std::make_unique<LedColorSet>();
    std::unique_ptr<LedColorSet> taken_ = std::make_unique<LedColorSet>();  // the worker's
    std::vector<VeltariLedColor> sorted_;                                   // the worker's
};

// Asynchronous flushes: all buffers handed over between two passes go out as one flush request.
class FlushColorsQueue final : public AsyncQueue {
public:
    using AsyncQueue::AsyncQueue;
    ~FlushColorsQueue() override { Join(); }

    // Merges `devices` into the pending colours (a colour handed over later wins) and leaves it empty.
    // Results as for SetColorsQueue::Queue; StartWorker first, so that a worker that cannot start fails
    // the call before the colour buffer is taken.
    bool Queue(DeviceLedColors& devices, AsyncCallbackEntry entry);
    // Where the sets of each pass go once written, as after a synchronous flush; set before any pass.
    void RecycleInto(ColorBuffer& buffer) { recycleInto_ = &buffer; }

private:
    void TakePendingLocked() noexcept override;
    void WriteTakenRequest(std::string& out) override;

    DeviceLedColors pending_;
    DeviceLedColors taken_;  // the worker's
    ColorBuffer* recycleInto_ = nullptr;
};

class ColorState {
public:
    ColorState();
    ~ColorState();
    ColorState(const ColorState&) = delete;
    ColorState& operator=(const ColorState&) = delete;

    // Makes unload stop both workers before it destroys the connection. Called before anything can run
    // a colour call on a thread of the library's own: when a worker starts, and when key presses are
    // about to be delivered (a key-press callback may make the first asynchronous call).
    void StopWorkersAtUnload();
    // Closes both queues, so neither starts a worker any more, then joins the workers that run.
    void StopWorkers();

    ColorBuffer buffer;
    SetColorsQueue setQueue;
    FlushColorsQueue flushQueue;

private:
    std::once_flag stopRegistered_;
};

}  // namespace sdk
