// A queue of asynchronous colour calls and the worker thread that carries them to the server.
//
// Callers queue under the queue mutex and return at once. The worker sleeps until a call is queued (or
// the queue closes), so an idle library never wakes up. Passes keep a 10 ms rhythm counted from the end
// of the previous pass: everything queued until the next tick goes out as one request, the outcome
// becomes the worker's own last error and every callback taken is called, in the order queued. The queue
// mutex is held only while queueing and while the worker takes the queue, never during the exchange or a
// callback.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "transport/library_thread.h"
#include "veltari.h"

namespace sdk {

struct AsyncCallbackEntry {
    VeltariAsyncCallback callback;  // may be null: the call is carried, nothing is called
    void* context;
};

class AsyncQueue {
public:
    static constexpr std::chrono::milliseconds kPassInterval{10};

    // `onFirstStart` runs on the thread that starts the worker, with the queue mutex held, before the
    // worker exists; until it has once returned normally, no worker is started.
    explicit AsyncQueue(std::function<void()> onFirstStart);
    virtual ~AsyncQueue();
    AsyncQueue(const AsyncQueue&) = delete;
    AsyncQueue& operator=(const AsyncQueue&) = delete;

    // Starts the worker unless it runs. Throws when no thread can be started; the queue is then as it
    // was and a later call tries again. False once the queue is closed.
    bool StartWorker();
    // From now on every call is refused. The worker carries what is queued in one last pass (each
    // callback hears its outcome) and ends.
    void Close();
    // Closes and waits for the worker to end. A subclass must join before its destruction begins,
    // since the worker calls its collection step.
    void Join();

    bool WorkerStarted();

protected:
    // With mutex_ held, before anything of a call is stored: starts the worker when needed and makes
    // room for one more callback entry, so that AppendCallbackLocked cannot fail. False when closed;
    // throws when the worker or the room cannot be had. Either way nothing was queued.
    bool PrepareCallLocked();
    // With mutex_ held, after PrepareCallLocked and after the colours were stored.
    void AppendCallbackLocked(AsyncCallbackEntry entry) noexcept;

    // The collection step of a pass, on the worker. TakePendingLocked runs with mutex_ held and moves the
    // pending colours out of the queue; WriteTakenRequest runs without it, inside the pass's exchange, and
    // appends what was taken to the request text, forgetting it also when it throws.
    virtual void TakePendingLocked() noexcept = 0;
    virtual void WriteTakenRequest(std::string& out) = 0;

    // Guards the callback entries, the flags and the subclass's pending colours.
    std::mutex mutex_;

private:
    void Run() noexcept;
    // One exchange for the entries taken, then their callbacks; a failure of any kind reaches them as
    // (false, VeltariErrorServerUnreachable).
    void CarryOut(const std::vector<AsyncCallbackEntry>& taken) noexcept;

    std::function<void()> onFirstStart_;
    bool firstStartDone_ = false;  // under mutex_
    bool closed_ = false;          // under mutex_
    std::vector<AsyncCallbackEntry> callbacks_;
    std::condition_variable wake_;  // a first call since the last pass, or the close
    LibraryThread worker_;
};

}  // namespace sdk
