// The connection to the lighting server over a client's three private pipes: one request and its response
// at a time, and notifications delivered in arrival order on a thread of the connection's own.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "transport/binary_io.h"
#include "transport/library_thread.h"
#include "transport/rpc_connection_interface.h"

namespace sdk {

class RpcConnection final : public IRpcConnection {
public:
    RpcConnection(std::shared_ptr<IBinaryReader> responseReader, std::shared_ptr<IBinaryWriter> requestWriter,
                  std::shared_ptr<IBinaryReader> notificationReader);
    // Stops and joins both notification threads before any pipe is closed. Must not run on the handler's
    // own thread (a thread cannot join itself).
    ~RpcConnection() override;

    RpcConnection(const RpcConnection&) = delete;
    RpcConnection& operator=(const RpcConnection&) = delete;

    // Writes the request and waits for the next response, 5000 ms for each. A failure that leaves the
    // request or response channel broken gives both up for good; from then on every call returns an
    // empty text at once, without waiting for the call mutex.
    std::string Call(std::string_view request) override;
    // The handler runs on the dispatcher thread and must not install or clear a handler, nor destroy the
    // connection. Stopping cancels the notification channel for good, so a replaced handler receives
    // nothing and the connection reports itself broken.
    void SetNotificationHandler(NotificationHandler handler) override;
    void ClearNotificationHandler() override;
    bool HasNotificationHandler() override;
    bool IsBroken() override;
    void SetCallMutex(std::recursive_mutex* mutex) override;

    static constexpr int kCallTimeoutMs = 5000;

private:
    void StartNotificationThreads();  // handlerMutex_ held
    void StopNotificationThreads();   // handlerMutex_ held
    void NotificationReaderLoop();
    void NotificationDispatchLoop(NotificationHandler handler);
    void GiveUpRequestChannels();

    std::atomic<bool> running_{false};
    NotificationHandler handler_;
    std::mutex handlerMutex_;
    LibraryThread readerThread_;
    LibraryThread dispatcherThread_;
    std::condition_variable queueCondition_;
    std::mutex queueMutex_;
    std::deque<std::string> queue_;
    std::atomic<std::recursive_mutex*> callMutex_{nullptr};
    // Serialises calls made before SetCallMutex.
    std::recursive_mutex ownCallMutex_;
    // Guards the two request channels only while a pointer is copied or released, never across I/O, so
    // IsBroken and a call on a given-up connection never wait for an exchange in flight.
    std::mutex channelMutex_;
    std::atomic<bool> givenUp_{false};
    // Set once a stop cancelled the notification channel, which is final: whether or not the reader was
    // inside a read at that moment, nothing can arrive on it any more.
    std::atomic<bool> notificationsCancelled_{false};
    std::shared_ptr<IBinaryReader> responseReader_;
    std::shared_ptr<IBinaryWriter> requestWriter_;
    std::shared_ptr<IBinaryReader> notificationReader_;
};

}  // namespace sdk
