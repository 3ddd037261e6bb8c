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
    : catalog_(std::move(catalog)), identity_(std::move(identity)), handler_(catalog_, lighting_, identity_) {}

LightingServer::~LightingServer() { Stop(); }

void LightingServer::SetTraceSink(TraceSink sink) {
    std::lock_guard<std::mutex> lock(traceMutex_);
    trace_ = std::move(sink);
}

void LightingServer::SetFirstKeyListenerHook(std::function<void()> hook) {
    std::lock_guard<std::mutex> lock(mutex_);
    firstKeyListenerHook_ = std::move(hook);
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

ClientId LightingServer::AddClient(const std::string& identity, ClientPipes pipes) {
    ReapFinished();
    auto session = std::make_shared<Session>();
    session->identity = identity;
    session->pipes = std::move(pipes);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopped_) {
            session->pipes = {};
            return 0;
        }
        session->id = nextClient_++;
        sessions_.push_back(session);
        // Started under the lock so that Stop, which takes it, always sees a joinable thread.
        session->reader = std::thread([this, raw = session.get()] { ServeRequests(*raw); });
    }
    return session->id;
}

void LightingServer::ServeRequests(Session& session) {
    Trace(TraceEvent::Kind::kConnected, &session, {});
    std::string reason;
    for (;;) {
        Bytes payload;
        const std::uint32_t code = session.pipes.requests->ReadMessage(payload, 0);
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
        Trace(TraceEvent::Kind::kResponse, &session, responseText);
        const std::uint32_t written = session.pipes.responses->WriteMessage(TextMessage(responseText), kWriteTimeoutMs);
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
    StopSession(session);
    Trace(TraceEvent::Kind::kDisconnected, &session, reason);
    session.finished = true;
}

void LightingServer::SendNotifications(Session& session) {
    std::unique_lock<std::mutex> lock(session.mutex);
    for (;;) {
        session.wake.wait(lock, [&] { return session.stopping || !session.notifications.empty(); });
        if (session.stopping) return;
        const std::string text = std::move(session.notifications.front());
        session.notifications.pop_front();
        lock.unlock();
        const std::uint32_t code = session.pipes.notifications->WriteMessage(TextMessage(text), kWriteTimeoutMs);
        if (code == kResultOk) Trace(TraceEvent::Kind::kNotification, &session, text);
        lock.lock();
        if (code != kResultOk) {
            // The client no longer takes notifications; its requests are still served.
            session.notificationsFailed = true;
            session.notifications.clear();
            lock.unlock();
            Trace(TraceEvent::Kind::kNotification, &session,
                  "(notifications stopped: writing failed with code " + std::to_string(code) + ")");
            return;
        }
    }
}

void LightingServer::StopSession(Session& session) {
    {
        std::lock_guard<std::mutex> lock(session.mutex);
        session.stopping = true;
        session.keyListener = false;
        session.wake.notify_all();
    }
    session.pipes.notifications->Cancel();
    if (session.notifier.joinable()) session.notifier.join();
    // Closing at once tells a dropped client that it has lost its connection.
    std::lock_guard<std::mutex> lock(session.pipesMutex);
    session.pipes.requests->Close();
    session.pipes.responses->Close();
    session.pipes.notifications->Close();
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
            if (session->notifications.size() >= kMaxQueuedNotifications) session->notifications.pop_front();
            session->notifications.push_back(text);
            session->wake.notify_all();
            ++listeners;
        }
    }
    std::string name = catalog_.KeyNameForVendorKey(vendorKey);
    if (name.empty()) name = "#" + std::to_string(vendorKey);
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
        if (session->finished) continue;
        ++snapshot.clientCount;
        std::lock_guard<std::mutex> sessionLock(session->mutex);
        if (session->keyListener && !session->notificationsFailed) ++snapshot.keyListenerCount;
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
    std::size_t count = 0;
    for (const auto& session : sessions_) count += session->finished ? 0 : 1;
    return count;
}

void LightingServer::ReapFinished() {
    std::vector<std::shared_ptr<Session>> done;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto it = sessions_.begin(); it != sessions_.end();) {
            if ((*it)->finished) {
                done.push_back(std::move(*it));
                it = sessions_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& session : done) {
        if (session->reader.joinable()) session->reader.join();
    }
}

void LightingServer::Stop() {
    std::vector<std::shared_ptr<Session>> sessions;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopped_ = true;
        sessions.swap(sessions_);
    }
    for (auto& session : sessions) {
        // Wakes the reader, which then tears its session down itself.
        std::lock_guard<std::mutex> lock(session->pipesMutex);
        if (session->pipesClosed) continue;
        session->pipes.requests->Cancel();
        session->pipes.responses->Cancel();
    }
    for (auto& session : sessions) {
        if (session->reader.joinable()) session->reader.join();
    }
}

}  // namespace sdk
