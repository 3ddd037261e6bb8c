#include "api/async_queue.h"

#include <utility>

#include "api/exchange.h"
#include "api/last_error.h"

namespace sdk {

AsyncQueue::AsyncQueue(std::function<void()> onFirstStart) : onFirstStart_(std::move(onFirstStart)) {}

AsyncQueue::~AsyncQueue() {
    Join();
}

void AsyncQueue::AppendCallbackLocked(AsyncCallbackEntry entry) {
    if (!started_ && !closed_) {
        started_ = true;
        // First, so that whoever stops the worker at unload knows of it before it exists.
        if (onFirstStart_) onFirstStart_();
        running_.store(true, std::memory_order_release);
        worker_ = LibraryThread([this] { Run(); });
    }
    callbacks_.push_back(entry);
}

void AsyncQueue::Close() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
    }
    {
        // Changed under the sleep mutex, so a worker between its test and its wait cannot miss it.
        std::lock_guard<std::mutex> lock(sleepMutex_);
        running_.store(false, std::memory_order_release);
    }
    sleepCondition_.notify_all();
}

void AsyncQueue::Join() {
    Close();
    if (worker_.Joinable()) worker_.Join();
}

bool AsyncQueue::WorkerStarted() {
    std::lock_guard<std::mutex> lock(mutex_);
    return started_;
}

bool AsyncQueue::WaitForNextPass() {
    std::unique_lock<std::mutex> lock(sleepMutex_);
    return !sleepCondition_.wait_for(lock, kPassInterval,
                                     [this] { return !running_.load(std::memory_order_acquire); });
}

void AsyncQueue::Run() {
    // Kept across passes with their capacity, so a steady flow of calls allocates nothing here.
    std::vector<AsyncCallbackEntry> taken;
    while (running_.load(std::memory_order_acquire)) {
        if (!WaitForNextPass()) break;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            taken.swap(callbacks_);
            if (!taken.empty()) TakePendingLocked();
        }
        if (taken.empty()) continue;

        const std::string request = BuildTakenRequest();
        std::string answer;
        {
            Exchange exchange;
            if (exchange.Gate()) answer = exchange.Call(request);
        }
        bool success = false;
        int error = VeltariErrorServerUnreachable;
        if (!answer.empty()) {
            const Response response(answer);
            error = response.ErrorCode();
            success = response.Result().AsBool();
        }
        // The callbacks read the outcome through VeltariGetLastError as well.
        StoreLastError(error);
        for (const AsyncCallbackEntry& entry : taken) {
            if (entry.callback != nullptr)
                entry.callback(entry.context, success, static_cast<VeltariError>(error));
        }
        taken.clear();
    }
}

}  // namespace sdk
