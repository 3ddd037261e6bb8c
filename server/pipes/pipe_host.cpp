#include "pipes/pipe_host.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <random>
#include <utility>

#include "transport/bootstrap.h"

namespace sdk {
namespace {

using Clock = std::chrono::steady_clock;

// A rendezvous "_out" connection that no identity claimed (its client gave up before sending one) is
// dropped after this long.
constexpr auto kPairingLimit = std::chrono::seconds(30);

bool ClientWentAway(std::uint32_t code) {
    return code == kErrorBrokenPipe || code == kErrorNoData || code == kErrorPipeNotConnected;
}

std::wstring Hex(std::uint64_t value) {
    static const wchar_t digits[] = L"0123456789abcdef";
    std::wstring text;
    do {
        text.insert(text.begin(), digits[value & 0xF]);
        value >>= 4;
    } while (value != 0);
    return text;
}

Bytes NarrowName(const std::wstring& name) {
    Bytes bytes;
    bytes.reserve(name.size() + 1);
    for (wchar_t c : name) {
        bytes.push_back(static_cast<std::uint32_t>(c) < 0x80 ? static_cast<std::uint8_t>(c) : '?');
    }
    return bytes;
}

int MillisecondsLeft(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

struct PipeHost::Pending {
    std::unique_ptr<IServerPipe> pipe;
    std::uint64_t processId = 0;
    Clock::time_point since;
};

// One client's thread, and what Stop must cancel to wake it.
struct PipeHost::Worker {
    std::thread thread;
    std::atomic<bool> finished{false};
    std::mutex mutex;
    bool cancelled = false;
    std::vector<std::pair<const void*, std::function<void()>>> cancels;

    void Add(const void* key, std::function<void()> cancel) {
        std::lock_guard<std::mutex> lock(mutex);
        if (cancelled) {
            cancel();
        }
        cancels.emplace_back(key, std::move(cancel));
    }
    void Remove(const void* key) {
        std::lock_guard<std::mutex> lock(mutex);
        std::erase_if(cancels, [key](const auto& entry) { return entry.first == key; });
    }
    void CancelAll() {
        std::lock_guard<std::mutex> lock(mutex);
        cancelled = true;
        for (auto& entry : cancels) {
            entry.second();
        }
    }
};

namespace {

// Lets Stop cancel one pipe or listener of a worker while it exists. Declared after the object it
// guards, so it lets go of it first.
template <typename Worker>
class Cancellable {
public:
    template <typename Target>
    Cancellable(Worker& worker, Target* target) : worker_(worker), key_(target) {
        if (target != nullptr) {
            worker_.Add(target, [target] { target->Cancel(); });
        }
    }
    ~Cancellable() { worker_.Remove(key_); }
    Cancellable(const Cancellable&) = delete;
    Cancellable& operator=(const Cancellable&) = delete;

private:
    Worker& worker_;
    const void* key_;
};

// The next connection on `listener` that comes from process `processId`; others are turned away.
std::unique_ptr<IServerPipe> AcceptFrom(IPipeListener& listener, std::uint64_t processId,
                                        Clock::time_point deadline) {
    for (;;) {
        const int left = MillisecondsLeft(deadline);
        if (left == 0) {
            return nullptr;
        }
        std::unique_ptr<IServerPipe> pipe = listener.Accept(left);
        if (!pipe || pipe->PeerProcessId() == processId) {
            return pipe;
        }
    }
}

}  // namespace

PipeHost::PipeHost(SessionHandler handler, PipeHostOptions options)
    : handler_(std::move(handler)), options_(std::move(options)) {
    if (options_.rendezvousBase.empty()) {
        options_.rendezvousBase = ServerPipeBaseName();
    }
    if (!options_.listen) {
        options_.listen = ListenOnPipe;
    }
    const std::size_t slash = options_.rendezvousBase.rfind(L'\\');
    privateFolder_ = options_.rendezvousBase.substr(0, slash == std::wstring::npos ? 0 : slash + 1);
    std::random_device random;
    nameToken_ = random();
}

PipeHost::~PipeHost() { Stop(); }

bool PipeHost::Start() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (running_) {
        return true;
    }
    inListener_ = options_.listen(options_.rendezvousBase + L"_in");
    outListener_ = inListener_ ? options_.listen(options_.rendezvousBase + L"_out") : nullptr;
    if (!inListener_ || !outListener_) {
        inListener_.reset();
        outListener_.reset();
        return false;
    }
    running_ = true;
    stopping_ = false;
    inAcceptor_ = std::thread(&PipeHost::AcceptLoop, this, inListener_.get(), true);
    outAcceptor_ = std::thread(&PipeHost::AcceptLoop, this, outListener_.get(), false);
    return true;
}

void PipeHost::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!running_ || stopping_) {
            return;
        }
        stopping_ = true;
        changed_.notify_all();
    }
    inListener_->Cancel();
    outListener_->Cancel();
    inAcceptor_.join();
    outAcceptor_.join();

    std::list<std::shared_ptr<Worker>> workers;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        pendingOut_.clear();
        workers.swap(workers_);
    }
    for (const auto& worker : workers) {
        worker->CancelAll();
    }
    for (const auto& worker : workers) {
        worker->thread.join();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    inListener_.reset();
    outListener_.reset();
    running_ = false;
    stopping_ = false;
}

// Every "_in" connection gets a thread that reads its identity; "_out" connections wait until an
// identity from their process claims them.
void PipeHost::AcceptLoop(IPipeListener* listener, bool isIn) {
    for (;;) {
        std::unique_ptr<IServerPipe> pipe = listener->Accept(-1);
        std::unique_lock<std::mutex> lock(mutex_);
        if (stopping_) {
            return;
        }
        if (!pipe) {
            // Accept failed without a stop; wait a little rather than spin on a persistent failure.
            changed_.wait_for(lock, std::chrono::milliseconds(50), [this] { return stopping_; });
            continue;
        }
        ReapFinishedLocked();
        if (isIn) {
            auto worker = std::make_shared<Worker>();
            Worker* raw = worker.get();
            worker->thread = std::thread([this, raw, in = std::move(pipe)]() mutable {
                Serve(*raw, std::move(in));
                raw->finished = true;
            });
            workers_.push_back(std::move(worker));
        } else {
            const auto now = Clock::now();
            pendingOut_.remove_if([now](const auto& entry) { return now - entry->since > kPairingLimit; });
            auto entry = std::make_unique<Pending>();
            entry->processId = pipe->PeerProcessId();
            entry->pipe = std::move(pipe);
            entry->since = now;
            pendingOut_.push_back(std::move(entry));
            changed_.notify_all();
        }
    }
}

void PipeHost::ReapFinishedLocked() {
    for (auto it = workers_.begin(); it != workers_.end();) {
        if ((*it)->finished) {
            (*it)->thread.join();
            it = workers_.erase(it);
        } else {
            ++it;
        }
    }
}

// The newest "_out" connection of the process: an older one can only be left over from an attempt that
// gave up, and one process running two attempts at once gets one reply on each of its connections.
std::unique_ptr<IServerPipe> PipeHost::TakeOutPipe(std::uint64_t processId, int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    auto newest = [&] {
        return std::find_if(pendingOut_.rbegin(), pendingOut_.rend(),
                            [processId](const auto& entry) { return entry->processId == processId; });
    };
    if (timeoutMs <= 0) {
        return nullptr;
    }
    changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                      [&] { return stopping_ || newest() != pendingOut_.rend(); });
    const auto match = newest();
    if (stopping_ || match == pendingOut_.rend()) {
        return nullptr;
    }
    std::unique_ptr<IServerPipe> out = std::move((*match)->pipe);
    pendingOut_.erase(std::next(match).base());
    return out;
}

std::wstring PipeHost::NextPrivateBase() {
    std::lock_guard<std::mutex> lock(mutex_);
    return privateFolder_ + L"c" + Hex(nameToken_) + L"-" + Hex(++nextName_);
}

// The rendezvous for one "_in" connection. True when the client was sent a private base name whose
// listeners (BASE_out, BASE_in, BASE_callback) now wait for it.
bool PipeHost::Answer(Worker& worker, IServerPipe& in, PipeSession& session,
                      std::unique_ptr<IPipeListener> (&listeners)[3]) {
    Bytes identity;
    if (in.ReadMessage(identity, options_.clientTimeoutMs) != kResultOk) {
        return false;  // an attempt that gave up before it sent its identity
    }
    if (!identity.empty() && identity.back() == 0) {
        identity.pop_back();
    }
    session.identity.assign(identity.begin(), identity.end());
    if (options_.onIdentity) {
        options_.onIdentity(session.identity, session.processId);
    }
    // The client sends its identity only once its "_out" connection is made, so it is here or coming.
    const auto deadline = Clock::now() + std::chrono::milliseconds(options_.clientTimeoutMs);
    for (;;) {
        std::unique_ptr<IServerPipe> out = TakeOutPipe(session.processId, MillisecondsLeft(deadline));
        if (!out) {
            return false;
        }
        Cancellable<Worker> cancelOut(worker, out.get());
        Bytes ignored;
        if (!options_.answerRendezvous) {
            // Hold both pipes open until the client gives up or the host stops.
            while (in.ReadMessage(ignored, -1) == kResultOk) {
            }
            return false;
        }
        Bytes reply;
        if (options_.fixedReply) {
            reply = *options_.fixedReply;
        } else {
            if (!listeners[0]) {
                session.baseName = NextPrivateBase();
                listeners[0] = options_.listen(session.baseName + L"_out");
                listeners[1] = options_.listen(session.baseName + L"_in");
                if (options_.createCallbackPipe) {
                    listeners[2] = options_.listen(session.baseName + L"_callback");
                }
                if (!listeners[0] || !listeners[1] || (options_.createCallbackPipe && !listeners[2])) {
                    return false;
                }
            }
            reply = NarrowName(session.baseName);
            reply.push_back(0);
        }
        // The private pipes exist by now, so the client can open them as soon as it has the reply.
        const std::uint32_t code = out->WriteMessage(reply, options_.clientTimeoutMs);
        if (code == kResultOk) {
            // The client closes its rendezvous ends once it has read the reply; leaving first could lose
            // the reply on pipes that drop unread data when the server end goes.
            in.ReadMessage(ignored, options_.clientTimeoutMs);
            return !options_.fixedReply;
        }
        if (!ClientWentAway(code)) {
            return false;
        }
        // That "_out" was left over from an attempt of the same process that gave up; try the next.
    }
}

void PipeHost::Serve(Worker& worker, std::unique_ptr<IServerPipe> in) {
    PipeSession session;
    session.processId = in->PeerProcessId();
    std::unique_ptr<IPipeListener> listeners[3];  // BASE_out, BASE_in, BASE_callback
    {
        Cancellable<Worker> cancelIn(worker, in.get());
        if (!Answer(worker, *in, session, listeners)) {
            return;
        }
    }
    in.reset();

    const auto deadline = Clock::now() + std::chrono::milliseconds(options_.clientTimeoutMs);
    {
        Cancellable<Worker> cancelResponses(worker, listeners[0].get());
        Cancellable<Worker> cancelRequests(worker, listeners[1].get());
        Cancellable<Worker> cancelNotifications(worker, listeners[2].get());
        // The client opens "_out", "_in" and "_callback" in that order; each waits in its listener's
        // queue, so the order of these accepts does not matter.
        session.responses = AcceptFrom(*listeners[0], session.processId, deadline);
        if (session.responses) {
            session.requests = AcceptFrom(*listeners[1], session.processId, deadline);
        }
        if (session.requests && listeners[2]) {
            session.notifications = AcceptFrom(*listeners[2], session.processId, deadline);
        }
    }
    // The private names are taken; nobody else may connect to them.
    for (auto& listener : listeners) {
        listener.reset();
    }
    if (!session.responses || !session.requests ||
        (options_.createCallbackPipe && !session.notifications)) {
        return;
    }

    Cancellable<Worker> cancelRequests(worker, session.requests.get());
    Cancellable<Worker> cancelResponses(worker, session.responses.get());
    Cancellable<Worker> cancelNotifications(worker, session.notifications.get());
    try {
        handler_(session);
    } catch (...) {
        // A failing handler ends its own session only.
    }
}

}  // namespace sdk
