#include "transport/rpc_connection.h"

#include <utility>

namespace sdk {

RpcConnection::RpcConnection(std::shared_ptr<FrameChannel> responses, std::shared_ptr<FrameChannel> requests,
                             std::shared_ptr<FrameChannel> notifications)
    : givenUp_(!responses || !requests),
      responses_(std::move(responses)),
      requests_(std::move(requests)),
      notifications_(std::move(notifications)) {}

RpcConnection::~RpcConnection() {
    std::lock_guard<std::mutex> lock(startMutex_);
    if (readerThread_.Joinable()) {
        // The reader waits without a limit; only the cancel wakes it.
        notifications_->Cancel();
        running_ = false;
        readerThread_.Join();
    }
    StopDispatcher();
    // The members then release the notification reader, the request writer and the response reader, in
    // that order; the last owner of each stream closes its pipe.
}

bool RpcConnection::Call(std::string_view request, std::string& response) {
    response.clear();
    if (givenUp_) {
        return false;
    }
    std::lock_guard<std::mutex> callLock(callMutex_);
    std::shared_ptr<FrameChannel> reader;
    std::shared_ptr<FrameChannel> writer;
    {
        std::lock_guard<std::mutex> lock(channelMutex_);
        reader = responses_;
        writer = requests_;
    }
    if (!reader || !writer) {
        return false;
    }
    if (writer->WriteText(request, kCallTimeoutMs).status != IoStatus::kOk) {
        if (writer->IsBroken()) {
            GiveUpRequestChannels();
        }
        return false;
    }
    // A failed read leaves the response as it was: empty.
    if (reader->Read(response, kCallTimeoutMs).status == IoStatus::kOk && !response.empty()) {
        return true;
    }
    // A response that arrives after a time-out must never be taken for the answer to a later request;
    // the time-out broke the channel, so both channels go.
    if (reader->IsBroken()) {
        GiveUpRequestChannels();
    }
    return false;
}

void RpcConnection::GiveUpRequestChannels() {
    std::shared_ptr<FrameChannel> writer;
    std::shared_ptr<FrameChannel> reader;
    {
        std::lock_guard<std::mutex> lock(channelMutex_);
        givenUp_ = true;
        writer = std::move(requests_);
        reader = std::move(responses_);
    }
    // Released outside the lock, writer first; the streams close here unless a caller still holds them.
    writer.reset();
    reader.reset();
}

void RpcConnection::SetNotificationHandler(NotificationHandler handler) {
    std::shared_ptr<const NotificationHandler> installed;
    if (handler) {
        installed = std::make_shared<const NotificationHandler>(std::move(handler));
    }
    std::lock_guard<std::mutex> start(startMutex_);
    // Installed before delivery starts, so a notification already waiting on the pipe finds it.
    std::shared_ptr<const NotificationHandler> previous;
    {
        std::lock_guard<std::mutex> lock(handlerMutex_);
        previous = std::exchange(handler_, installed);
    }
    if (installed && !readerThread_.Joinable() && notifications_) {
        try {
            StartDelivery();
        } catch (...) {
            std::lock_guard<std::mutex> lock(handlerMutex_);
            handler_ = std::move(previous);
            throw;
        }
    }
}

bool RpcConnection::HasNotificationHandler() {
    std::lock_guard<std::mutex> lock(handlerMutex_);
    return handler_ != nullptr;
}

bool RpcConnection::IsBroken() {
    if (givenUp_) {
        return true;
    }
    std::shared_ptr<FrameChannel> reader;
    std::shared_ptr<FrameChannel> writer;
    {
        std::lock_guard<std::mutex> lock(channelMutex_);
        reader = responses_;
        writer = requests_;
    }
    if (!reader || reader->IsBroken()) {
        return true;
    }
    if (!writer || writer->IsBroken()) {
        return true;
    }
    return !notifications_ || notifications_->IsBroken();
}

void RpcConnection::StartDelivery() {
    running_ = true;
    dispatcherThread_ = LibraryThread([this] { NotificationDispatchLoop(); });
    try {
        readerThread_ = LibraryThread([this] { NotificationReaderLoop(); });
    } catch (...) {
        // Nothing was read yet, so the channel stays as it was and a later install tries again.
        StopDispatcher();
        throw;
    }
}

void RpcConnection::StopDispatcher() {
    {
        // Changed under the queue mutex, so a dispatcher between its test and its wait cannot miss it.
        std::lock_guard<std::mutex> lock(queueMutex_);
        running_ = false;
        queueCondition_.notify_all();
    }
    if (dispatcherThread_.Joinable()) {
        dispatcherThread_.Join();
    }
    std::lock_guard<std::mutex> lock(queueMutex_);
    queue_.clear();
    queuedBytes_ = 0;
}

void RpcConnection::NotificationReaderLoop() noexcept {
    while (running_) {
        std::string text;
        const IoResult result = notifications_->Read(text, -1);
        if (notifications_->IsBroken()) {
            return;
        }
        if (result.status != IoStatus::kOk || text.size() < 2) {
            continue;
        }
        text.pop_back();
        std::lock_guard<std::mutex> lock(queueMutex_);
        if (queuedBytes_ + text.size() > kMaxQueuedNotificationBytes) {
            continue;  // the handler is that far behind: this one is dropped
        }
        try {
            queue_.push_back(std::move(text));
        } catch (...) {
            continue;  // out of memory: this notification is dropped, the next may fit
        }
        queuedBytes_ += queue_.back().size();
        queueCondition_.notify_all();
    }
}

void RpcConnection::NotificationDispatchLoop() noexcept {
    std::deque<std::string> batch;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(queueMutex_);
            queueCondition_.wait(lock, [this] { return !queue_.empty() || !running_; });
            if (!running_) {
                return;
            }
            batch.swap(queue_);
            queuedBytes_ = 0;
        }
        for (const std::string& text : batch) {
            if (!running_) {
                return;
            }
            std::shared_ptr<const NotificationHandler> handler;
            {
                std::lock_guard<std::mutex> lock(handlerMutex_);
                handler = handler_;
            }
            if (handler == nullptr) {
                continue;
            }
            try {
                (*handler)(text);
            } catch (...) {
                // Nobody on this thread could receive it; the notification is dropped, delivery goes on.
            }
        }
        batch.clear();
    }
}

}  // namespace sdk
