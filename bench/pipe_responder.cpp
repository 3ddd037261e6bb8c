#include "pipe_responder.h"

#include "transport/frame_channel.h"

namespace sdk::bench {

FixedResponder::FixedResponder()
    : host_([this](PipeSession& session) { Serve(session); }), response_(std::make_shared<Bytes>()) {}

FixedResponder::~FixedResponder() {
    Stop();
}

bool FixedResponder::Start() {
    return host_.Start();
}

void FixedResponder::Stop() {
    host_.Stop();
}

void FixedResponder::SetResponse(const std::string& text) {
    auto payload = std::make_shared<const Bytes>(TextMessage(text));
    std::lock_guard<std::mutex> lock(mutex_);
    response_ = std::move(payload);
}

bool FixedResponder::Notify(const std::string& text, const std::string& identityPrefix) {
    const Bytes payload = TextMessage(text);
    std::lock_guard<std::mutex> lock(mutex_);
    bool sent = false;
    for (PipeSession* session : sessions_) {
        if (session->identity.rfind(identityPrefix, 0) != 0 || !session->notifications) continue;
        if (session->notifications->WriteMessage(payload, 5000) != kResultOk) return false;
        sent = true;
    }
    return sent;
}

void FixedResponder::CaptureNextRequest() {
    capture_ = true;
}

std::string FixedResponder::LastRequest() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lastRequest_;
}

void FixedResponder::Serve(PipeSession& session) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        sessions_.push_back(&session);
    }
    Bytes request;
    while (session.requests->ReadMessage(request, -1) == kResultOk) {
        std::shared_ptr<const Bytes> response;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            response = response_;
        }
        requests_.fetch_add(1, std::memory_order_relaxed);
        if (capture_.exchange(false)) {
            std::lock_guard<std::mutex> lock(mutex_);
            const std::size_t length =
                request.empty() || request.back() != 0 ? request.size() : request.size() - 1;
            lastRequest_.assign(request.begin(), request.begin() + static_cast<std::ptrdiff_t>(length));
        }
        if (session.responses->WriteMessage(*response, 5000) != kResultOk) break;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    std::erase(sessions_, &session);
}

}  // namespace sdk::bench
