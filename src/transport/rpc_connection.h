// The connection to the lighting server over a client's three private pipes: one request and its response
// at a time, and notifications delivered in arrival order on a thread of the connection's own.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "transport/frame_channel.h"
#include "transport/library_thread.h"
#include "transport/rpc_connection_interface.h"

namespace sdk {

class RpcConnection final : public IRpcConnection {
public:
    // Responses come on the first channel, requests go on the second, notifications come on the third;
    // a missing channel makes the connection broken.
    RpcConnection(std::shared_ptr<FrameChannel> responses, std::shared_ptr<FrameChannel> requests,
                  std::shared_ptr<FrameChannel> notifications);
    // Cancels the notification channel, then joins both notification threads before any pipe is closed.
    // Must not run on the handler's own thread (a thread cannot join itself).
    ~RpcConnection() override;

    RpcConnection(const RpcConnection&) = delete;
    RpcConnection& operator=(const RpcConnection&) = delete;

    // Writes the request and waits for the next response, 5000 ms for each half of each frame. A failure
    // that leaves the request or response channel broken gives both up for good; from then on every call
    // fails at once, without waiting for a call in flight. An empty response counts as a failure.
    bool Call(std::string_view request, std::string& response) override;
    using IRpcConnection::Call;
    // The handler runs on the dispatcher thread, one notification at a time, and may itself replace the
    // handler. Texts waiting while no handler is installed are dropped.
    void SetNotificationHandler(NotificationHandler handler) override;
    bool HasNotificationHandler() override;
    bool IsBroken() override;

    static constexpr int kCallTimeoutMs = 5000;
    // Notification texts received but not yet handed to the handler, in bytes. A server that sends faster
    // than the handler takes them cannot grow the host's memory past this: what arrives while the queue
    // is full is dropped, and the channel is still drained.
    static constexpr std::size_t kMaxQueuedNotificationBytes = 1024 * 1024;

private:
    void StartDelivery();  // startMutex_ held
    void StopDispatcher();
    void NotificationReaderLoop() noexcept;
    void NotificationDispatchLoop() noexcept;
    void GiveUpRequestChannels();

    // Serialises exchanges; taken by nothing else.
    std::mutex callMutex_;
    // Guards the two request channels only while a pointer is copied or released, never across I/O, so
    // IsBroken and a call on a given-up connection never wait for an exchange in flight.
    std::mutex channelMutex_;
    std::atomic<bool> givenUp_{false};
    std::shared_ptr<FrameChannel> responses_;
    std::shared_ptr<FrameChannel> requests_;
    std::shared_ptr<FrameChannel> notifications_;

    // Serialises the start of delivery with other installs and with destruction; never taken by the
    // delivery threads, so it may be held while they are joined.
    std::mutex startMutex_;
    // Guards handler_ only while it is swapped or copied; never held while the handler runs.
    std::mutex handlerMutex_;
    std::shared_ptr<const NotificationHandler> handler_;
    std::atomic<bool> running_{false};
    std::mutex queueMutex_;
    std::condition_variable queueCondition_;
    std::deque<std::string> queue_;
    std::size_t queuedBytes_ = 0;  // under queueMutex_
    LibraryThread dispatcherThread_;
    LibraryThread readerThread_;
};

}  // namespace sdk
