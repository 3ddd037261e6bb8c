// A scripted stand-in for the server behind the connection seam: tests decide every answer, see every
// request and break connections at will. Each connection the factory makes has a Line that outlives it,
// so a test can still inspect a connection after the library destroyed it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "api/client_state.h"
#include "transport/rpc_connection_interface.h"

namespace sdk::testing {

struct Reply {
    std::string text;
    bool breaks = false;  // the connection fails during this request: empty answer, broken from then on
};

// What is known about one connection, kept after the connection is gone.
struct Line {
    std::atomic<bool> broken{false};
    std::atomic<bool> destroyed{false};
    std::atomic<bool> selfJoinAttempted{false};
};

class FakeServer;

class FakeConnection : public IRpcConnection {
public:
    FakeConnection(FakeServer& server, std::shared_ptr<Line> line)
        : server_(server), line_(std::move(line)) {}
    ~FakeConnection() override;

    bool Call(std::string_view request, std::string& response) override;
    using IRpcConnection::Call;
    void SetNotificationHandler(NotificationHandler handler) override;
    bool HasNotificationHandler() override;
    bool IsBroken() override { return line_->broken.load(); }

    // Queues one notification text for the dispatcher thread.
    void Notify(std::string text);

private:
    // Shared with the dispatcher thread, which may outlive the connection when it was wrongly asked
    // to join itself.
    struct Delivery {
        std::mutex mutex;
        std::condition_variable condition;
        std::deque<std::string> queue;
        bool running = false;
    };
    static void DispatchLoop(std::shared_ptr<Delivery> delivery, NotificationHandler handler);
    void ClearNotificationHandler();

    FakeServer& server_;
    std::shared_ptr<Line> line_;
    std::mutex callMutex_;
    std::mutex handlerMutex_;
    bool hasHandler_ = false;
    std::thread dispatcher_;
    std::shared_ptr<Delivery> delivery_ = std::make_shared<Delivery>();
};

class FakeServer {
public:
    // Answers to the next requests, in order; once they are used up every request gets `fallback`.
    void Queue(std::string text, bool breaks = false) {
        std::lock_guard<std::mutex> lock(mutex_);
        replies_.push_back(Reply{std::move(text), breaks});
    }
    void SetFallback(std::string text) {
        std::lock_guard<std::mutex> lock(mutex_);
        fallback_ = std::move(text);
    }
    // While true the factory finds no server.
    void SetReachable(bool reachable) { reachable_ = reachable; }
    // Called inside the factory, with the connection mutex held, before it returns.
    void OnConnect(std::function<void()> hook) {
        std::lock_guard<std::mutex> lock(mutex_);
        onConnect_ = std::move(hook);
    }

    ConnectionFactory Factory() {
        return [this](const std::string& identity) -> std::unique_ptr<IRpcConnection> {
            std::function<void()> hook;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                identities_.push_back(identity);
                hook = onConnect_;
            }
            if (hook) hook();
            if (!reachable_) return nullptr;
            auto line = std::make_shared<Line>();
            auto connection = std::make_unique<FakeConnection>(*this, line);
            std::lock_guard<std::mutex> lock(mutex_);
            lines_.push_back(line);
            latest_ = connection.get();
            return connection;
        };
    }

    std::string Answer(std::string_view request) {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.emplace_back(request);
        if (replies_.empty()) return fallback_;
        Reply reply = std::move(replies_.front());
        replies_.pop_front();
        if (reply.breaks) return std::string("\x01break", 6);
        return reply.text;
    }

    std::vector<std::string> Requests() {
        std::lock_guard<std::mutex> lock(mutex_);
        return requests_;
    }
    std::vector<std::string> Identities() {
        std::lock_guard<std::mutex> lock(mutex_);
        return identities_;
    }
    std::vector<std::shared_ptr<Line>> Lines() {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }
    std::shared_ptr<Line> LatestLine() {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_.empty() ? nullptr : lines_.back();
    }
    // The newest connection; valid only while the library still holds it.
    FakeConnection* Latest() {
        std::lock_guard<std::mutex> lock(mutex_);
        return latest_;
    }
    void BreakLatest() {
        if (auto line = LatestLine()) line->broken = true;
    }

private:
    std::mutex mutex_;
    std::deque<Reply> replies_;
    std::string fallback_ = "{}";
    std::atomic<bool> reachable_{true};
    std::function<void()> onConnect_;
    std::vector<std::string> requests_;
    std::vector<std::string> identities_;
    std::vector<std::shared_ptr<Line>> lines_;
    FakeConnection* latest_ = nullptr;
};

inline FakeConnection::~FakeConnection() {
    ClearNotificationHandler();
    line_->destroyed = true;
}

inline bool FakeConnection::Call(std::string_view request, std::string& response) {
    response.clear();
    if (line_->broken) return false;
    std::lock_guard<std::mutex> lock(callMutex_);
    std::string answer = server_.Answer(request);
    if (answer == std::string("\x01break", 6)) {
        line_->broken = true;
        return false;
    }
    response = std::move(answer);
    return !response.empty();
}

inline void FakeConnection::SetNotificationHandler(NotificationHandler handler) {
    ClearNotificationHandler();
    std::lock_guard<std::mutex> lock(handlerMutex_);
    if (!handler) return;
    hasHandler_ = true;
    {
        std::lock_guard<std::mutex> queueLock(delivery_->mutex);
        delivery_->running = true;
    }
    dispatcher_ = std::thread(&FakeConnection::DispatchLoop, delivery_, std::move(handler));
}

inline void FakeConnection::ClearNotificationHandler() {
    std::lock_guard<std::mutex> lock(handlerMutex_);
    if (!hasHandler_) return;
    {
        std::lock_guard<std::mutex> queueLock(delivery_->mutex);
        delivery_->running = false;
    }
    delivery_->condition.notify_all();
    if (dispatcher_.get_id() == std::this_thread::get_id()) {
        // The real connection cannot join itself either; remember the attempt and let the thread go.
        line_->selfJoinAttempted = true;
        dispatcher_.detach();
    } else {
        dispatcher_.join();
    }
    hasHandler_ = false;
}

inline bool FakeConnection::HasNotificationHandler() {
    std::lock_guard<std::mutex> lock(handlerMutex_);
    return hasHandler_;
}

inline void FakeConnection::Notify(std::string text) {
    {
        std::lock_guard<std::mutex> lock(delivery_->mutex);
        delivery_->queue.push_back(std::move(text));
    }
    delivery_->condition.notify_all();
}

inline void FakeConnection::DispatchLoop(std::shared_ptr<Delivery> delivery, NotificationHandler handler) {
    std::unique_lock<std::mutex> lock(delivery->mutex);
    for (;;) {
        delivery->condition.wait(lock, [&] { return !delivery->running || !delivery->queue.empty(); });
        if (!delivery->running) return;
        std::string text = std::move(delivery->queue.front());
        delivery->queue.pop_front();
        lock.unlock();
        handler(text);
        lock.lock();
    }
}

}  // namespace sdk::testing
