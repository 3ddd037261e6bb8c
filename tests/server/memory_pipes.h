// In-memory stand-ins for a client's three connected pipes, so that sessions can be driven message by
// message with exact control over what the client sends and when it goes away.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "lighting/lighting_server.h"

namespace sdk {

// One direction of one pipe.
class MessageChannel {
public:
    // False when the receiving end has closed.
    bool Push(Bytes message) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (readerClosed_) return false;
        messages_.push_back(std::move(message));
        changed_.notify_all();
        return true;
    }
    // The next message; nullopt on time-out or once the sender closed and nothing is left.
    std::optional<Bytes> Pop(int timeoutMs, bool* closed = nullptr) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                          [&] { return !messages_.empty() || writerClosed_ || cancelled_; });
        if (closed != nullptr) *closed = messages_.empty() && writerClosed_;
        if (messages_.empty()) return std::nullopt;
        Bytes message = std::move(messages_.front());
        messages_.pop_front();
        return message;
    }
    bool WaitClosedByReader(int timeoutMs) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return readerClosed_; });
    }
    void CloseWriter() { Set(writerClosed_); }
    void CloseReader() { Set(readerClosed_); }
    void Cancel() { Set(cancelled_); }
    bool Cancelled() {
        std::lock_guard<std::mutex> lock(mutex_);
        return cancelled_;
    }
    std::size_t Pending() {
        std::lock_guard<std::mutex> lock(mutex_);
        return messages_.size();
    }

private:
    void Set(bool& flag) {
        std::lock_guard<std::mutex> lock(mutex_);
        flag = true;
        changed_.notify_all();
    }
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Bytes> messages_;
    bool writerClosed_ = false;
    bool readerClosed_ = false;
    bool cancelled_ = false;
};

// The server's end of one pipe: reads from `in` or writes to `out`.
class MemoryServerPipe : public IServerPipe {
public:
    MemoryServerPipe(std::shared_ptr<MessageChannel> in, std::shared_ptr<MessageChannel> out)
        : in_(std::move(in)), out_(std::move(out)) {}
    std::uint32_t ReadMessage(Bytes& out, int timeoutMs) override {
        if (!in_) return kResultNotReady;
        bool closed = false;
        auto message = in_->Pop(timeoutMs > 0 ? timeoutMs : 24 * 3600 * 1000, &closed);
        if (message) {
            out = std::move(*message);
            return kResultOk;
        }
        return closed ? kErrorBrokenPipe : kErrorIoPending;
    }
    std::uint32_t WriteMessage(const Bytes& in, int /*timeoutMs*/) override {
        if (!out_) return kResultNotReady;
        if (blockWrites_) return kErrorIoPending;
        return out_->Push(in) ? kResultOk : kErrorNoData;
    }
    std::uint32_t WriteRaw(const Bytes& in, int timeoutMs) override { return WriteMessage(in, timeoutMs); }
    void Cancel() override {
        if (in_) in_->Cancel();
    }
    void Close() override {
        if (in_) in_->CloseReader();
        if (out_) out_->CloseWriter();
    }
    std::uint64_t PeerProcessId() override { return 0; }
    // Makes every write fail as a client that stopped reading would.
    bool blockWrites_ = false;

private:
    std::shared_ptr<MessageChannel> in_;
    std::shared_ptr<MessageChannel> out_;
};

// The client's ends of the three pipes.
struct MemoryClient {
    std::shared_ptr<MessageChannel> requests = std::make_shared<MessageChannel>();
    std::shared_ptr<MessageChannel> responses = std::make_shared<MessageChannel>();
    std::shared_ptr<MessageChannel> notifications = std::make_shared<MessageChannel>();

    ClientPipes Pipes(bool notificationsFail = false) {
        ClientPipes pipes;
        pipes.requests = std::make_unique<MemoryServerPipe>(requests, nullptr);
        pipes.responses = std::make_unique<MemoryServerPipe>(nullptr, responses);
        auto callback = std::make_unique<MemoryServerPipe>(nullptr, notifications);
        callback->blockWrites_ = notificationsFail;
        pipes.notifications = std::move(callback);
        return pipes;
    }
    void Send(const std::string& text) {
        Bytes bytes(text.begin(), text.end());
        bytes.push_back(0);
        requests->Push(std::move(bytes));
    }
    void SendRaw(Bytes bytes) { requests->Push(std::move(bytes)); }
    static std::string Text(const std::optional<Bytes>& message) {
        if (!message) return "(none)";
        std::string text(message->begin(), message->end());
        if (!text.empty() && text.back() == '\0') text.pop_back();
        return text;
    }
    std::string Response(int timeoutMs = 10000) { return Text(responses->Pop(timeoutMs)); }
    std::string Notification(int timeoutMs = 10000) { return Text(notifications->Pop(timeoutMs)); }
    std::string Call(const std::string& text) {
        Send(text);
        return Response();
    }
    // True once the server has closed the response pipe and nothing is left to read.
    bool Dropped(int timeoutMs = 10000) {
        bool closed = false;
        while (responses->Pop(timeoutMs, &closed)) {
        }
        return closed;
    }
    void Disconnect() { requests->CloseWriter(); }
};

}  // namespace sdk
