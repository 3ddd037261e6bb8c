#include "transport/rpc_connection.h"

#include <utility>

namespace sdk {

RpcConnection::RpcConnection(std::shared_ptr<IBinaryReader> responseReader,
                             std::shared_ptr<IBinaryWriter> requestWriter,
                             std::shared_ptr<IBinaryReader> notificationReader)
    : givenUp_(!responseReader || !requestWriter),
      responseReader_(std::move(responseReader)),
      requestWriter_(std::move(requestWriter)),
      notificationReader_(std::move(notificationReader)) {}

RpcConnection::~RpcConnection() {
    ClearNotificationHandler();
    // The members then release the notification reader, the request writer and the response reader, in
    // that order; the last owner of each stream closes its pipe.
}

std::string RpcConnection::Call(std::string_view request) {
    if (givenUp_) {
        return {};
    }
    std::recursive_mutex* mutex = callMutex_.load();
    std::lock_guard<std::recursive_mutex> callLock(mutex != nullptr ? *mutex : ownCallMutex_);

    std::shared_ptr<IBinaryReader> reader;
    std::shared_ptr<IBinaryWriter> writer;
    {
        std::lock_guard<std::mutex> lock(channelMutex_);
        reader = responseReader_;
        writer = requestWriter_;
    }
    if (!reader || !writer) {
        return {};
    }
    if (writer->WriteText(request, kCallTimeoutMs) != kResultOk) {
        if (writer->IsBroken()) {
            GiveUpRequestChannels();
        }
        return {};
    }
    std::string response;
    if (reader->ReadText(response, kCallTimeoutMs) == kResultOk && !response.empty()) {
        return response;
    }
    // A response that arrives after a time-out must never be taken for the answer to a later request;
    // the time-out broke the channel, so both channels go.
    if (reader->IsBroken()) {
        GiveUpRequestChannels();
    }
    return {};
}

void RpcConnection::GiveUpRequestChannels() {
    std::shared_ptr<IBinaryWriter> writer;
    std::shared_ptr<IBinaryReader> reader;
    {
        std::lock_guard<std::mutex> lock(channelMutex_);
        givenUp_ = true;
        writer = std::move(requestWriter_);
        reader = std::move(responseReader_);
    }
    // Released outside the lock, writer first; the streams close here unless a caller still holds them.
    writer.reset();
    reader.reset();
}

void RpcConnection::SetNotificationHandler(NotificationHandler handler) {
    ClearNotificationHandler();
    std::lock_guard<std::mutex> lock(handlerMutex_);
    // Another thread may have installed a handler since the clear; its threads go before new ones start.
    if (readerThread_.Joinable() || dispatcherThread_.Joinable()) {
        StopNotificationThreads();
    }
    handler_ = std::move(handler);
    if (handler_) {
        StartNotificationThreads();
    }
}

void RpcConnection::ClearNotificationHandler() {
    if (!HasNotificationHandler()) {
        return;
    }
    std::lock_guard<std::mutex> lock(handlerMutex_);
    StopNotificationThreads();
    handler_ = nullptr;
}

bool RpcConnection::HasNotificationHandler() {
    std::lock_guard<std::mutex> lock(handlerMutex_);
    return static_cast<bool>(handler_);
}

bool RpcConnection::IsBroken() {
    if (givenUp_ || notificationsCancelled_) {
        return true;
    }
    std::shared_ptr<IBinaryReader> reader;
    std::shared_ptr<IBinaryWriter> writer;
    {
        std::lock_guard<std::mutex> lock(channelMutex_);
        reader = responseReader_;
        writer = requestWriter_;
    }
    if (!reader || reader->IsBroken()) {
        return true;
    }
    if (!writer || writer->IsBroken()) {
        return true;
    }
    return !notificationReader_ || notificationReader_->IsBroken();
}

void RpcConnection::SetCallMutex(std::recursive_mutex* mutex) {
    callMutex_ = mutex;
}

void RpcConnection::StartNotificationThreads() {
    running_ = true;
    // The dispatcher gets its copy of the handler now: taking it later under handlerMutex_ could wait on
    // a stop that holds that mutex while it joins this very thread.
    dispatcherThread_ = LibraryThread([this, handler = handler_] { NotificationDispatchLoop(handler); });
    readerThread_ = LibraryThread([this] { NotificationReaderLoop(); });
}

void RpcConnection::StopNotificationThreads() {
    // The reader waits without a limit; only the cancel wakes it, and it ends the channel for good.
    if (notificationReader_) {
        notificationReader_->Cancel();
        notificationsCancelled_ = true;
    }
    running_ = false;
    if (readerThread_.Joinable()) {
        readerThread_.Join();
    }
    {
        // Notified under the queue mutex, so a dispatcher between its test and its wait cannot miss it.
        std::lock_guard<std::mutex> lock(queueMutex_);
        queueCondition_.notify_all();
    }
    if (dispatcherThread_.Joinable()) {
        dispatcherThread_.Join();
    }
    std::lock_guard<std::mutex> lock(queueMutex_);
    queue_.clear();
}

void RpcConnection::NotificationReaderLoop() {
    if (!notificationReader_) {
        return;
    }
    while (running_) {
        Bytes payload;
        const std::uint32_t code = notificationReader_->Read(payload, -1);
        if (notificationReader_->IsBroken()) {
            return;
        }
        if (code != kResultOk || payload.size() < 2) {
            continue;
        }
        std::string text(payload.begin(), payload.end() - 1);
        std::lock_guard<std::mutex> lock(queueMutex_);
        queue_.push_back(std::move(text));
        queueCondition_.notify_all();
    }
}

void RpcConnection::NotificationDispatchLoop(NotificationHandler handler) {
    while (running_) {
        std::deque<std::string> batch;
        {
            std::unique_lock<std::mutex> lock(queueMutex_);
            queueCondition_.wait(lock, [this] { return !queue_.empty() || !running_; });
            if (!running_) {
                return;
            }
            batch.swap(queue_);
        }
        for (const std::string& text : batch) {
            if (!running_) {
                return;
            }
            try {
                handler(text);
            } catch (...) {
                // Nobody on this thread could receive it; the notification is dropped, delivery goes on.
            }
        }
    }
}

}  // namespace sdk
