// The running lighting server: one session per connected client, each answering its requests in order
// on a thread of its own and sending it key notifications once it has asked for them. All sessions share
// one lighting state behind one lock.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "lighting/device_catalog.h"
#include "lighting/lighting_state.h"
#include "lighting/request_handler.h"
#include "pipes/pipe_server.h"

namespace sdk {

// A client's three private pipes, connected: requests come in on one, responses and notifications go
// out on the others.
struct ClientPipes {
    std::unique_ptr<IServerPipe> requests;
    std::unique_ptr<IServerPipe> responses;
    std::unique_ptr<IServerPipe> notifications;
};

struct TraceEvent {
    enum class Kind {
        kConnected,     // text: nothing
        kDisconnected,  // text: why
        kRequest,       // text: the request as received
        kResponse,      // text: the response as sent
        kNotification,  // text: the notification as sent
        kKey,           // text: a description of the key event (client 0)
    };
    Kind kind = Kind::kConnected;
    ClientId client = 0;
    std::string identity;
    std::string text;
};

class LightingServer {
public:
    using TraceSink = std::function<void(const TraceEvent&)>;

    // A client's pending notifications beyond this are dropped, oldest first, so a client that stops
    // reading cannot make the server grow without bound.
    static constexpr std::size_t kMaxQueuedNotifications = 4096;
    static constexpr int kWriteTimeoutMs = 5000;

    LightingServer(DeviceCatalog catalog, ServerIdentity identity);
    ~LightingServer();
    LightingServer(const LightingServer&) = delete;
    LightingServer& operator=(const LightingServer&) = delete;

    // Set before the first client; called from the sessions' threads, one event at a time.
    void SetTraceSink(TraceSink sink);
    // Called once, on the session's thread, when the first client of the server's life has registered
    // for key presses.
    void SetFirstKeyListenerHook(std::function<void()> hook);
    // Called after anything a view shows may have changed (colours, clients, control, priorities, key
    // listeners), on the thread that changed it, possibly with the server's lock held: it must return
    // quickly and must not call the server.
    void SetChangeObserver(std::function<void()> observer);

    // Serves a client whose pipes are connected, on the calling thread, until the client leaves, sends
    // something that is not JSON, or Stop. The identity is what it sent at the rendezvous. The pipes stay
    // the caller's; they are closed, not destroyed, when this returns.
    void ServeClient(const std::string& identity, IServerPipe& requests, IServerPipe& responses,
                     IServerPipe& notifications);
    // The same on a thread of the server's own, which owns the pipes. 0 once stopped.
    ClientId AddClient(const std::string& identity, ClientPipes pipes);

    // Sends {"vendorKey":K,"pressed":b} to every client that has registered for key presses.
    void PressKey(int vendorKey, bool pressed);

    struct ClientStatus {
        ClientId id = 0;
        std::string identity;
        int priority = kDefaultLayerPriority;
        bool keyListener = false;
    };
    struct Snapshot {
        // Per device, per LED in the device's order: the visible colour.
        std::vector<std::vector<Rgb>> colours;
        std::uint64_t changeCount = 0;
        std::size_t clientCount = 0;
        std::size_t keyListenerCount = 0;
        std::optional<ClientId> controlHolder;
        // Connected clients in the order they came.
        std::vector<ClientStatus> clients;
    };
    Snapshot TakeSnapshot() const;
    std::uint64_t ChangeCount() const;
    std::size_t ClientCount() const;

    const DeviceCatalog& Catalog() const { return catalog_; }
    const ServerIdentity& Identity() const { return identity_; }

    // Ends every session and waits until all have returned. Clients that come later are refused.
    void Stop();

private:
    struct Session {
        ClientId id = 0;
        std::string identity;
        IServerPipe* requests = nullptr;
        IServerPipe* responses = nullptr;
        IServerPipe* notifications = nullptr;
        // Set for sessions of AddClient, which own their pipes and thread.
        ClientPipes owned;
        std::thread ownThread;
        std::thread notifier;
        // Guards the notification state below.
        std::mutex mutex;
        std::condition_variable wake;
        std::deque<std::string> queued;
        bool keyListener = false;
        // Set when a notification could not be written; the client gets no more of them.
        bool notificationsFailed = false;
        bool stopping = false;
        // Guards the pipes against a Cancel from Stop racing with the session's own Close.
        std::mutex pipesMutex;
        bool pipesClosed = false;
        std::atomic<bool> finished{false};
    };

    // Null once stopped.
    std::shared_ptr<Session> OpenSession(const std::string& identity, IServerPipe& requests,
                                         IServerPipe& responses, IServerPipe& notifications);
    void RunSession(Session& session);
    void SendNotifications(Session& session);
    void CloseSession(Session& session);
    void Trace(TraceEvent::Kind kind, const Session* session, std::string text);
    void NotifyChanged();
    // Joins the threads of AddClient sessions that have ended.
    void ReapOwnThreads(bool all);

    const DeviceCatalog catalog_;
    const ServerIdentity identity_;
    TraceSink trace_;
    std::function<void()> firstKeyListenerHook_;
    std::mutex traceMutex_;
    std::function<void()> changeObserver_;
    std::mutex observerMutex_;

    // Guards the lighting state, the handler and the session list.
    mutable std::mutex mutex_;
    LightingState lighting_;
    RequestHandler handler_;
    std::vector<std::shared_ptr<Session>> sessions_;
    std::condition_variable sessionsEnded_;
    ClientId nextClient_ = 1;
    // Guards ownSessions_: the AddClient sessions whose threads are still to be joined.
    std::mutex ownMutex_;
    std::vector<std::shared_ptr<Session>> ownSessions_;
    bool stopped_ = false;
    bool hadKeyListener_ = false;
};

}  // namespace sdk
