#include "lighting/lighting_server.h"

#include <utility>

#include "json/json.h"

namespace sdk {
namespace {

Bytes TextMessage(const std::string& text) {
    Bytes bytes(text.begin(), text.end());
    bytes.push_back(0);
    return bytes;
}

std::string PayloadText(const Bytes& payload) {
    std::string text(payload.begin(), payload.end());
    // Texts travel with one NUL at the end; what follows the first NUL is not part of the text.
    const auto nul = text.find('\0');
    if (nul != std::string::npos) text.resize(nul);
    return text;
}

std::string ReadFailure(std::uint32_t code) {
    if (code == kErrorBrokenPipe || code == kErrorNoData || code == kErrorPipeNotConnected)
        return "the client closed its pipes";
    if (code == kErrorIoPending || code == kErrorOperationAborted) return "the server is stopping";
    return "reading a request failed (code " + std::to_string(code) + ", for example an oversize frame)";
}

}  // namespace

LightingServer::LightingServer(DeviceCatalog catalog, ServerIdentity identity)
    : catalog_(std::move(catalog)),
      identity_(std::move(identity)),
      handler_(catalog_, lighting_, identity_) {}

LightingServer::~LightingServer() {
    Stop();
}

void LightingServer::SetTraceSink(TraceSink sink) {
    std::lock_guard<std::mutex> lock(traceMutex_);
    trace_ = std::move(sink);
}

void LightingServer::SetFirstKeyListenerHook(std::function<void()> hook) {
    std::lock_guard<std::mutex> lock(mutex_);
    firstKeyListenerHook_ = std::move(hook);
}

void LightingServer::SetChangeObserver(std::function<void()> observer) {
    std::lock_guard<std::mutex> lock(observerMutex_);
    changeObserver_ = std::move(observer);
}

void LightingServer::NotifyChanged() {
    std::lock_guard<std::mutex> lock(observerMutex_);
    if (changeObserver_) changeObserver_();
}

void LightingServer::Trace(TraceEvent::Kind kind, const Session* session, std::string text) {
    std::lock_guard<std::mutex> lock(traceMutex_);
    if (!trace_) return;
    TraceEvent event;
    event.kind = kind;
    if (session != nullptr) {
        event.client = session->id;
        event.identity = session->identity;
    }
    event.text = std::move(text);
    trace_(event);
}

std::shared_ptr<LightingServer::Session> LightingServer::OpenSession(const std::string& identity,
                                                                     IServerPipe& requests,
                                                                     IServerPipe& responses,
                                                                     IServerPipe& notifications) {
    auto session = std::make_shared<Session>();
    session->identity = identity;
    session->requests = &requests;
    session->responses = &responses;
    session->notifications = &notifications;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopped_) return nullptr;
        session->id = nextClient_++;
        sessions_.push_back(session);
    }
    NotifyChanged();
    return session;
}

void LightingServer::ServeClient(const std::string& identity, IServerPipe& requests, IServerPipe& responses,
                                 IServerPipe& notifications) {
    const auto session = OpenSession(identity, requests, responses, notifications);
    if (!session) {
        requests.Close();
        responses.Close();
        notifications.Close();
        return;
    }
    RunSession(*session);
}

ClientId LightingServer::AddClient(const std::string& identity, ClientPipes pipes) {
    ReapOwnThreads(false);
    if (!pipes.requests || !pipes.responses || !pipes.notifications) return 0;
    auto session = OpenSession(identity, *pipes.requests, *pipes.responses, *pipes.notifications);
    if (!session) return 0;
    session->owned = std::move(pipes);
    const ClientId id = session->id;
    std::lock_guard<std::mutex> lock(ownMutex_);
    session->ownThread = std::thread([this, session] { RunSession(*session); });
    ownSessions_.push_back(std::move(session));
    return id;
}

void LightingServer::RunSession(Session& session) {
    Trace(TraceEvent::Kind::kConnected, &session, {});
    std::string reason;
    for (;;) {
        Bytes payload;
        const std::uint32_t code = session.requests->ReadMessage(payload, 0);
        if (code != kResultOk) {
            reason = ReadFailure(code);
            break;
        }
        const std::string text = PayloadText(payload);
        Trace(TraceEvent::Kind::kRequest, &session, text);
        const Json request = Json::Parse(text);
        if (!request.IsValid()) {
            reason = "the request is not JSON";
            break;
        }

        RequestEffects effects;
        std::string responseText;
        std::function<void()> hook;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            responseText = handler_.Handle(session.id, request, effects).ToText();
            if (effects.registeredForKeys) {
                // Key events are collected from here on, so none is lost while the answer travels; they
                // are sent only once the answer is out.
                std::lock_guard<std::mutex> sessionLock(session.mutex);
                session.keyListener = true;
                if (!hadKeyListener_) {
                    hadKeyListener_ = true;
                    hook = firstKeyListenerHook_;
                }
            }
        }
        if (effects.lightingChanged || effects.registeredForKeys) NotifyChanged();
        Trace(TraceEvent::Kind::kResponse, &session, responseText);
        const std::uint32_t written =
            session.responses->WriteMessage(TextMessage(responseText), kWriteTimeoutMs);
        if (written != kResultOk) {
            reason = "writing the response failed (code " + std::to_string(written) + ")";
            break;
        }
        if (effects.registeredForKeys && !session.notifier.joinable()) {
            std::lock_guard<std::mutex> sessionLock(session.mutex);
            session.notifier = std::thread([this, &session] { SendNotifications(session); });
        }
        if (hook) hook();
    }

    {
        std::lock_guard<std::mutex> lock(mutex_);
        lighting_.RemoveClient(session.id);
    }
    CloseSession(session);
    Trace(TraceEvent::Kind::kDisconnected, &session, reason);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto it = sessions_.begin(); it != sessions_.end(); ++it) {
            if (it->get() == &session) {
                sessions_.erase(it);
                break;
            }
        }
        // Inside the lock: once the list is empty, Stop may return and the server go away.
        NotifyChanged();
        session.finished = true;
        sessionsEnded_.notify_all();
    }
}

void LightingServer::SendNotifications(Session& session) {
    std::unique_lock<std::mutex> lock(session.mutex);
    for (;;) {
        session.wake.wait(lock, [&] { return session.stopping || !session.queued.empty(); });
        if (session.stopping) return;
        const std::string text = std::move(session.queued.front());
        session.queued.pop_front();
        lock.unlock();
        const std::uint32_t code = session.notifications->WriteMessage(TextMessage(text), kWriteTimeoutMs);
        if (code == kResultOk) Trace(TraceEvent::Kind::kNotification, &session, text);
        lock.lock();
        if (code != kResultOk) {
            // The client no longer takes notifications; its requests are still served.
            session.notificationsFailed = true;
            session.queued.clear();
            lock.unlock();
            NotifyChanged();
            Trace(TraceEvent::Kind::kNotification, &session,
                  "(notifications stopped: writing failed with code " + std::to_string(code) + ")");
            return;
        }
    }
}

void LightingServer::CloseSession(Session& session) {
    {
        std::lock_guard<std::mutex> lock(session.mutex);
        session.stopping = true;
        session.keyListener = false;
        session.wake.notify_all();
    }
    session.notifications->Cancel();
    if (session.notifier.joinable()) session.notifier.join();
    // Closing at once tells a dropped client that it has lost its connection. From here on the pipes are
    // not touched, so their owner may destroy them as soon as the session has returned.
    std::lock_guard<std::mutex> lock(session.pipesMutex);
    session.requests->Close();
    session.responses->Close();
    session.notifications->Close();
    session.pipesClosed = true;
}

void LightingServer::PressKey(int vendorKey, bool pressed) {
    Json notification;
    notification["vendorKey"] = Json(vendorKey);
    notification["pressed"] = Json(pressed);
    const std::string text = notification.ToText();
    std::size_t listeners = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& session : sessions_) {
            std::lock_guard<std::mutex> sessionLock(session->mutex);
            if (!session->keyListener || session->notificationsFailed || session->stopping) continue;
            if (session->queued.size() >= kMaxQueuedNotifications) session->queued.pop_front();
            session->queued.push_back(text);
            session->wake.notify_all();
            ++listeners;
        }
    }
    std::string name = catalog_.KeyNameForVendorKey(vendorKey);
    if (name.empty()) name.append("#").append(std::to_string(vendorKey));
    Trace(TraceEvent::Kind::kKey, nullptr,
          name + (pressed ? " down" : " up") + " -> " + std::to_string(listeners) + " client(s)");
}

LightingServer::Snapshot LightingServer::TakeSnapshot() const {
    Snapshot snapshot;
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& device : catalog_.Devices()) {
        std::vector<Rgb> colours;
        colours.reserve(device.leds.size());
        for (const auto& led : device.leds) colours.push_back(lighting_.Visible(led.ledId));
        snapshot.colours.push_back(std::move(colours));
    }
    snapshot.changeCount = lighting_.ChangeCount();
    for (const auto& session : sessions_) {
        ++snapshot.clientCount;
        std::lock_guard<std::mutex> sessionLock(session->mutex);
        const bool listener = session->keyListener && !session->notificationsFailed;
        if (listener) ++snapshot.keyListenerCount;
        snapshot.clients.push_back(
            {session->id, session->identity, lighting_.Priority(session->id), listener});
    }
    snapshot.controlHolder = lighting_.ControlHolder();
    return snapshot;
}

std::uint64_t LightingServer::ChangeCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lighting_.ChangeCount();
}

std::size_t LightingServer::ClientCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return sessions_.size();
}

void LightingServer::ReapOwnThreads(bool all) {
    std::vector<std::shared_ptr<Session>> done;
    {
        std::lock_guard<std::mutex> lock(ownMutex_);
        for (auto it = ownSessions_.begin(); it != ownSessions_.end();) {
            if (all || (*it)->finished) {
                done.push_back(std::move(*it));
                it = ownSessions_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& session : done) {
        if (session->ownThread.joinable()) session->ownThread.join();
    }
}

void LightingServer::Stop() {
    std::vector<std::shared_ptr<Session>> sessions;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopped_ = true;
        sessions = sessions_;
    }
    for (auto& session : sessions) {
        // Wakes the session's reads and writes; the session then ends itself.
        std::lock_guard<std::mutex> lock(session->pipesMutex);
        if (session->pipesClosed) continue;
        session->requests->Cancel();
        session->responses->Cancel();
    }
    {
        std::unique_lock<std::mutex> lock(mutex_);
        sessionsEnded_.wait(lock, [this] { return sessions_.empty(); });
    }
    ReapOwnThreads(true);
}

}  // namespace sdk
