#include "api/async_queue.h"

#include <optional>
#include <utility>

#include "api/client_state.h"
#include "api/exchange.h"
#include "api/last_error.h"

namespace sdk {

AsyncQueue::AsyncQueue(std::function<void()> onFirstStart) : onFirstStart_(std::move(onFirstStart)) {}

AsyncQueue::~AsyncQueue() {
    Join();
}

bool AsyncQueue::StartWorker() {
    std::lock_guard<std::mutex> lock(mutex_);
    return PrepareCallLocked();
}

bool AsyncQueue::PrepareCallLocked() {
    if (closed_ || UnloadBegun()) return false;
    if (!worker_.Joinable()) {
        if (!firstStartDone_) {
            // First, so that whoever stops the worker at unload knows of it before it exists.
            if (onFirstStart_) onFirstStart_();
            firstStartDone_ = true;
        }
        worker_ = LibraryThread([this] { Run(); });
    }
    callbacks_.reserve(callbacks_.size() + 1);
    return true;
}

void AsyncQueue::AppendCallbackLocked(AsyncCallbackEntry entry) noexcept {
    callbacks_.push_back(entry);  // room was made
    if (callbacks_.size() == 1) wake_.notify_one();
}

void AsyncQueue::Close() {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    wake_.notify_one();
}

void AsyncQueue::Join() {
    Close();
    if (worker_.Joinable()) worker_.Join();
}

bool AsyncQueue::WorkerStarted() {
    std::lock_guard<std::mutex> lock(mutex_);
    return worker_.Joinable();
}

void AsyncQueue::Run() noexcept {
    using Clock = std::chrono::steady_clock;
    // Kept across passes with their capacity, so a steady flow of calls allocates nothing here.
    std::vector<AsyncCallbackEntry> taken;
    Clock::time_point lastPass = Clock::now();
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return !callbacks_.empty() || closed_; });
        // The next tick of the rhythm: calls that come until then share this pass.
        const auto ticks = (Clock::now() - lastPass) / kPassInterval + 1;
        wake_.wait_until(lock, lastPass + ticks * kPassInterval, [this] { return closed_; });
        if (callbacks_.empty()) return;  // closed, nothing left
        taken.swap(callbacks_);
        TakePendingLocked();
        lock.unlock();
        CarryOut(taken);
        taken.clear();
        lastPass = Clock::now();
        lock.lock();
    }
}

void AsyncQueue::CarryOut(const std::vector<AsyncCallbackEntry>& taken) noexcept {
    bool success = false;
    int error = VeltariErrorServerUnreachable;
    try {
        Exchange exchange;
        // Written even when the gate fails: writing forgets what was taken.
        std::string& request = exchange.NewRequest();
        WriteTakenRequest(request);
        const std::optional<Response> answer = exchange.Gate() ? exchange.Send(request) : std::nullopt;
        if (answer) {
            error = answer->ErrorCode();
            success = answer->Result().AsBool();
        } else {
            error = exchange.Failure();
        }
    } catch (...) {
        // Memory ran out on the way: this pass fails as a whole, the next one starts afresh.
        success = false;
        error = VeltariErrorServerUnreachable;
    }
    // The callbacks read the outcome through VeltariGetLastError as well.
    StoreLastError(error);
    for (const AsyncCallbackEntry& entry : taken) {
        if (entry.callback == nullptr) continue;
        try {
            entry.callback(entry.context, success, static_cast<VeltariError>(error));
        } catch (...) {
            // Nobody on this thread could receive it; the other callbacks still hear their outcome.
        }
    }
}

}  // namespace sdk
