#include "hostile_server.h"

#include "json/json.h"

namespace sdk::test {

HostileAction HostileAction::Frame(const std::string& text, bool withNul) {
    HostileAction action;
    action.bytes.assign(text.begin(), text.end());
    if (withNul) action.bytes.push_back(0);
    return action;
}

HostileAction HostileAction::Raw(Bytes bytes) {
    HostileAction action;
    action.kind = Kind::kRaw;
    action.bytes = std::move(bytes);
    return action;
}

HostileAction HostileAction::RawThenClose(Bytes bytes) {
    HostileAction action = Raw(std::move(bytes));
    action.kind = Kind::kRawThenClose;
    return action;
}

HostileAction HostileAction::Silence() {
    HostileAction action;
    action.kind = Kind::kSilence;
    return action;
}

Bytes HostileServer::LengthWord(std::uint32_t n) {
    return {static_cast<std::uint8_t>(n), static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n >> 16),
            static_cast<std::uint8_t>(n >> 24)};
}

HostileServer::HostileServer() : host_([this](PipeSession& session) { Serve(session); }) {}

HostileServer::~HostileServer() {
    Stop();
}

bool HostileServer::Start() {
    return host_.Start();
}

void HostileServer::Stop() {
    host_.Stop();
}

void HostileServer::Next(HostileAction action) {
    std::lock_guard<std::mutex> lock(mutex_);
    actions_.push_back(std::move(action));
}

std::size_t HostileServer::Sessions() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return sessions_;
}

bool HostileServer::Notify(const Bytes& payload) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (notifications_ == nullptr) return false;
    // The session's pipes stay open while a notification is being written (Serve waits for it).
    IServerPipe* pipe = notifications_;
    notifying_ = true;
    lock.unlock();
    const bool ok = pipe->WriteMessage(payload, 5000) == kResultOk;
    lock.lock();
    notifying_ = false;
    sessionGone_.notify_all();
    return ok;
}

void HostileServer::Serve(PipeSession& session) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++sessions_;
        notifications_ = session.notifications.get();
    }
    Bytes request;
    bool open = true;
    while (open && session.requests->ReadMessage(request, -1) == kResultOk) {
        HostileAction action;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!actions_.empty()) {
                action = std::move(actions_.front());
                actions_.pop_front();
            } else {
                const std::string method =
                    Json::Parse(std::string(request.begin(), request.end())).At("method").AsString();
                action = HostileAction::Frame(method == "VeltraiHandshakeMethod"
                                                  ? R"({"serverVersion":"hostile","serverProtocolVersion":10})"
                                                  : R"({"result":true,"errorCode":0})");
            }
        }
        switch (action.kind) {
            case HostileAction::Kind::kFrame:
                open = session.responses->WriteMessage(action.bytes, 5000) == kResultOk;
                break;
            case HostileAction::Kind::kRaw:
                open = session.responses->WriteRaw(action.bytes, 5000) == kResultOk;
                break;
            case HostileAction::Kind::kRawThenClose:
                session.responses->WriteRaw(action.bytes, 5000);
                open = false;
                break;
            case HostileAction::Kind::kSilence:
                break;
        }
    }
    std::unique_lock<std::mutex> lock(mutex_);
    if (notifications_ == session.notifications.get()) notifications_ = nullptr;
    sessionGone_.wait(lock, [&] { return !notifying_; });
}

}  // namespace sdk::test
