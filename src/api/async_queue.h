// A queue of asynchronous colour calls and the worker thread that carries them to the server.
//
// Callers queue under the queue mutex and return; they never wait for the worker and never wake it. The
// worker makes one pass every 10 ms, counted from the end of its previous pass: it takes everything
// queued since its last look, sends it as one request, stores the outcome as its own last error and
// calls the callbacks of every call it took, in the order they were queued. The queue mutex is held
// only while queueing and while the worker takes the queue, never during the exchange or a callback.
#pragma once

#include <atomic>
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

    // `onFirstStart` runs once, on the thread that starts the worker, with the queue mutex held.
    explicit AsyncQueue(std::function<void()> onFirstStart);
    virtual ~AsyncQueue();
    AsyncQueue(const AsyncQueue&) = delete;
    AsyncQueue& operator=(const AsyncQueue&) = delete;

    // From now on no worker is started; calls still queue, but nothing carries them. Wakes a worker
    // that is waiting for its next pass, which then ends without taking the queue.
    void Close();
    // Closes and waits for the worker to end: a pass in progress finishes its exchange and callbacks.
    // A subclass must join before its destruction begins, since the worker calls its collection step.
    void Join();

    // Whether this queue ever started its worker.
    bool WorkerStarted();

protected:
    // Called by the subclass with mutex_ held, after it has queued its colours: appends the callback
    // entry and starts the worker when this is the queue's first call.
    void AppendCallbackLocked(AsyncCallbackEntry entry);

    // The collection step of a pass, on the worker. TakePendingLocked runs with mutex_ held and moves
    // the pending colours out of the queue; BuildTakenRequest runs without it and turns what was taken
    // into the request text, forgetting it.
    virtual void TakePendingLocked() = 0;
    virtual std::string BuildTakenRequest() = 0;

    // Guards the callback entries and the subclass's pending colours.
    std::mutex mutex_;

private:
    void Run();
    // Waits one pass interval; false when the queue was closed meanwhile.
    bool WaitForNextPass();

    std::function<void()> onFirstStart_;
    std::vector<AsyncCallbackEntry> callbacks_;
    bool started_ = false;  // under mutex_: a worker is started at most once
    bool closed_ = false;   // under mutex_

    // Read by the worker at the top of each pass without mutex_.
    std::atomic<bool> running_{false};
    // Only for waking the worker early when the queue closes; callers never touch it.
    std::mutex sleepMutex_;
    std::condition_variable sleepCondition_;
    LibraryThread worker_;
};

}  // namespace sdk
