#include "support/scripted_server.h"

#include <chrono>
#include <utility>

#include "support/pipe_runtime.h"
#include "transport/frame_channel.h"

namespace sdk::test {
namespace {

bool ClientWentAway(std::uint32_t code) {
    return code == kErrorBrokenPipe || code == kErrorNoData || code == kErrorPipeNotConnected;
}

std::string Quoted(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
        }
        out += c;
    }
    return out + "\"";
}

}  // namespace

ScriptedReply ScriptedReply::Text(std::string text) {
    ScriptedReply reply;
    reply.kind_ = Kind::kText;
    reply.payload_ = TextMessage(text);
    return reply;
}

ScriptedReply ScriptedReply::Raw(Bytes payload) {
    ScriptedReply reply;
    reply.kind_ = Kind::kRaw;
    reply.payload_ = std::move(payload);
    return reply;
}

ScriptedReply ScriptedReply::NoAnswer() {
    ScriptedReply reply;
    reply.kind_ = Kind::kNoAnswer;
    return reply;
}

ScriptedReply ScriptedReply::Close(ScriptedPipe pipe) {
    ScriptedReply reply;
    reply.kind_ = Kind::kClose;
    reply.pipe_ = pipe;
    return reply;
}

ScriptedReply ScriptedReply::After(int delayMs) const {
    ScriptedReply reply = *this;
    reply.delayMs_ = delayMs;
    return reply;
}

struct ScriptedServer::SessionState {
    ScriptedSession info;  // guarded by the server's mutex_
    bool dropped = false;  // guarded by the server's mutex_
    // The pipes other threads may touch while the session runs; null once closed or ended.
    std::mutex pipeMutex;
    IServerPipe* requests = nullptr;
    IServerPipe* notifications = nullptr;
};

ScriptedServer::ScriptedServer(ScriptedServerOptions options)
    : options_(std::move(options)), defaultReply_(ScriptedReply::Text("{}")) {
    UsePrivatePipeRuntime();
}

ScriptedServer::~ScriptedServer() {
    Stop();
}

bool ScriptedServer::Start() {
    if (host_) {
        return true;
    }
    PipeHostOptions hostOptions;
    hostOptions.answerRendezvous = options_.answerRendezvous;
    hostOptions.createCallbackPipe = options_.createCallbackPipe;
    hostOptions.fixedReply = options_.rendezvousReply;
    hostOptions.onIdentity = [this](const std::string& identity, std::uint64_t) {
        std::lock_guard<std::mutex> lock(mutex_);
        identities_.push_back(identity);
        changed_.notify_all();
    };
    auto host = std::make_unique<PipeHost>([this](PipeSession& session) { RunSession(session); },
                                           std::move(hostOptions));
    if (!host->Start()) {
        return false;
    }
    host_ = std::move(host);
    return true;
}

void ScriptedServer::Stop() {
    if (!host_) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        changed_.notify_all();
    }
    host_->Stop();
    host_.reset();
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = false;
}

bool ScriptedServer::IsRunning() const {
    return host_ != nullptr;
}

void ScriptedServer::OnMethod(const std::string& method, ScriptedReply reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& rule : methodReplies_) {
        if (rule.first == method) {
            rule.second = std::move(reply);
            return;
        }
    }
    methodReplies_.emplace_back(method, std::move(reply));
}

void ScriptedServer::OnMethod(const std::string& method, const std::string& responseText) {
    OnMethod(method, ScriptedReply::Text(responseText));
}

void ScriptedServer::OnMethodOnce(const std::string& method, ScriptedReply reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    onceReplies_.emplace_back(method, std::move(reply));
}

void ScriptedServer::OnRequest(Responder responder) {
    std::lock_guard<std::mutex> lock(mutex_);
    responder_ = std::move(responder);
}

void ScriptedServer::SetDefaultReply(ScriptedReply reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    defaultReply_ = std::move(reply);
}

void ScriptedServer::SetProtocolVersion(int version) {
    std::lock_guard<std::mutex> lock(mutex_);
    protocolVersion_ = version;
}

void ScriptedServer::SetServerVersion(std::string version) {
    std::lock_guard<std::mutex> lock(mutex_);
    serverVersion_ = std::move(version);
}

void ScriptedServer::SetBreakingChanges(std::optional<bool> value) {
    std::lock_guard<std::mutex> lock(mutex_);
    breakingChanges_ = value;
}

std::vector<std::string> ScriptedServer::Requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> texts;
    for (const Bytes& payload : requests_) {
        std::string text(payload.begin(), payload.end());
        if (!text.empty() && text.back() == '\0') {
            text.pop_back();
        }
        texts.push_back(std::move(text));
    }
    return texts;
}

std::vector<Bytes> ScriptedServer::RequestPayloads() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

std::vector<std::string> ScriptedServer::Methods() const {
    std::vector<std::string> methods;
    for (const std::string& text : Requests()) {
        methods.push_back(MethodOf(text));
    }
    return methods;
}

std::size_t ScriptedServer::RequestCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_.size();
}

void ScriptedServer::ClearRequests() {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.clear();
}

bool ScriptedServer::WaitForRequests(std::size_t count, int timeoutMs) const {
    return WaitFor([&] { return requests_.size() >= count; }, timeoutMs);
}

std::size_t ScriptedServer::SessionCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return sessions_.size();
}

bool ScriptedServer::WaitForSessions(std::size_t count, int timeoutMs) const {
    return WaitFor([&] { return sessions_.size() >= count; }, timeoutMs);
}

ScriptedSession ScriptedServer::Session(std::size_t index) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return index < sessions_.size() ? sessions_[index]->info : ScriptedSession{};
}

bool ScriptedServer::WaitForSessionEnd(std::size_t index, int timeoutMs) const {
    return WaitFor([&] { return index < sessions_.size() && sessions_[index]->info.ended; }, timeoutMs);
}

std::vector<std::string> ScriptedServer::Identities() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return identities_;
}

bool ScriptedServer::WaitForIdentities(std::size_t count, int timeoutMs) const {
    return WaitFor([&] { return identities_.size() >= count; }, timeoutMs);
}

bool ScriptedServer::Notify(const std::string& text) {
    const std::size_t count = SessionCount();
    return count > 0 && Notify(count - 1, text);
}

bool ScriptedServer::Notify(std::size_t session, const std::string& text) {
    return NotifyRaw(session, TextMessage(text));
}

bool ScriptedServer::NotifyRaw(std::size_t session, const Bytes& payload) {
    const auto state = FindSession(session);
    if (!state) {
        return false;
    }
    std::lock_guard<std::mutex> lock(state->pipeMutex);
    return state->notifications != nullptr &&
           state->notifications->WriteMessage(payload, kWaitMs) == kResultOk;
}

void ScriptedServer::CloseNotifications(std::size_t session) {
    if (const auto state = FindSession(session)) {
        std::lock_guard<std::mutex> lock(state->pipeMutex);
        if (state->notifications != nullptr) {
            state->notifications->Close();
            state->notifications = nullptr;
        }
    }
}

void ScriptedServer::Disconnect(std::size_t session) {
    const auto state = FindSession(session);
    if (!state) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        state->dropped = true;
        changed_.notify_all();
    }
    std::lock_guard<std::mutex> lock(state->pipeMutex);
    if (state->requests != nullptr) {
        state->requests->Cancel();
    }
}

std::string ScriptedServer::MethodOf(const std::string& request) {
    const std::string key = "\"method\"";
    std::size_t at = request.find(key);
    if (at == std::string::npos) {
        return {};
    }
    at += key.size();
    auto skipSpace = [&] {
        while (at < request.size() &&
               (request[at] == ' ' || request[at] == '\t' || request[at] == '\n' || request[at] == '\r')) {
            ++at;
        }
    };
    skipSpace();
    if (at >= request.size() || request[at] != ':') {
        return {};
    }
    ++at;
    skipSpace();
    if (at >= request.size() || request[at] != '"') {
        return {};
    }
    std::string method;
    for (++at; at < request.size() && request[at] != '"'; ++at) {
        if (request[at] == '\\' && at + 1 < request.size()) {
            ++at;
        }
        method += request[at];
    }
    return method;
}

std::shared_ptr<ScriptedServer::SessionState> ScriptedServer::FindSession(std::size_t index) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return index < sessions_.size() ? sessions_[index] : nullptr;
}

bool ScriptedServer::WaitFor(const std::function<bool()>& done, int timeoutMs) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), done);
}

ScriptedReply ScriptedServer::Decide(const std::string& request) {
    const std::string method = MethodOf(request);
    Responder responder;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto it = onceReplies_.begin(); it != onceReplies_.end(); ++it) {
            if (it->first == method) {
                ScriptedReply reply = std::move(it->second);
                onceReplies_.erase(it);
                return reply;
            }
        }
        for (const auto& rule : methodReplies_) {
            if (rule.first == method) {
                return rule.second;
            }
        }
        responder = responder_;
    }
    // The responder is the test's code: it runs without the server's lock, so it may use the server.
    if (responder) {
        if (std::optional<ScriptedReply> reply = responder(request)) {
            return *reply;
        }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (method == "VeltraiHandshakeMethod") {
        std::string text = "{\"serverVersion\":" + Quoted(serverVersion_) +
                           ",\"serverProtocolVersion\":" + std::to_string(protocolVersion_);
        if (breakingChanges_) {
            text += std::string(",\"breakingChanges\":") + (*breakingChanges_ ? "true" : "false");
        }
        return ScriptedReply::Text(text + "}");
    }
    return defaultReply_;
}

void ScriptedServer::RunSession(PipeSession& session) {
    auto state = std::make_shared<SessionState>();
    state->info.identity = session.identity;
    state->info.processId = session.processId;
    state->info.baseName = session.baseName;
    state->requests = session.requests.get();
    state->notifications = session.notifications.get();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        sessions_.push_back(state);
        changed_.notify_all();
    }

    bool clientClosed = false;
    bool open = true;
    while (open) {
        Bytes payload;
        const std::uint32_t code = session.requests->ReadMessage(payload, -1);
        if (code != kResultOk) {
            clientClosed = ClientWentAway(code);
            break;
        }
        std::string text(payload.begin(), payload.end());
        if (!text.empty() && text.back() == '\0') {
            text.pop_back();
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            requests_.push_back(std::move(payload));
            changed_.notify_all();
        }
        const ScriptedReply reply = Decide(text);
        if (reply.delayMs() > 0) {
            std::unique_lock<std::mutex> lock(mutex_);
            if (changed_.wait_for(lock, std::chrono::milliseconds(reply.delayMs()),
                                  [&] { return stopping_ || state->dropped; })) {
                break;
            }
        }
        switch (reply.kind()) {
            case ScriptedReply::Kind::kText:
            case ScriptedReply::Kind::kRaw:
                session.responses->WriteMessage(reply.payload(), kWaitMs);
                break;
            case ScriptedReply::Kind::kNoAnswer:
                break;
            case ScriptedReply::Kind::kClose: {
                const ScriptedPipe pipe = reply.pipe();
                std::lock_guard<std::mutex> lock(state->pipeMutex);
                if (pipe == ScriptedPipe::kResponses || pipe == ScriptedPipe::kAll) {
                    session.responses->Close();
                }
                if ((pipe == ScriptedPipe::kNotifications || pipe == ScriptedPipe::kAll) &&
                    state->notifications != nullptr) {
                    state->notifications->Close();
                    state->notifications = nullptr;
                }
                if (pipe == ScriptedPipe::kRequests || pipe == ScriptedPipe::kAll) {
                    session.requests->Close();
                    state->requests = nullptr;
                    open = false;
                }
                break;
            }
        }
    }

    bool responsesClosed = false;
    if (clientClosed) {
        // The client never writes on BASE_out, so a read there ends only when the client closes it.
        Bytes ignored;
        responsesClosed = ClientWentAway(session.responses->ReadMessage(ignored, kWaitMs));
    }
    {
        std::lock_guard<std::mutex> lock(state->pipeMutex);
        state->requests = nullptr;
        state->notifications = nullptr;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    state->info.ended = true;
    state->info.clientClosedRequests = clientClosed;
    state->info.clientClosedResponses = responsesClosed;
    changed_.notify_all();
}

}  // namespace sdk::test
