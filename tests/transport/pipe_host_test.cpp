// The pipe host over in-memory pipes, where the test decides exactly which process connects where and
// in which order.
#include <gtest/gtest.h>

#include <condition_variable>
#include <deque>
#include <future>
#include <map>
#include <mutex>
#include <set>

#include "pipes/pipe_host.h"
#include "transport/frame_channel.h"

namespace sdk::test {
namespace {

using namespace std::chrono_literals;

class FakeNetwork;

// Both ends of one in-memory connection, shared by the server pipe and the test.
struct Channel {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<Bytes> toServer;
    std::vector<Bytes> fromServer;
    std::set<std::wstring> listenersAtFirstWrite;
    bool clientGone = false;
    bool serverGone = false;

    void Send(Bytes message) {
        std::lock_guard<std::mutex> lock(mutex);
        toServer.push_back(std::move(message));
        changed.notify_all();
    }
    void Leave() {
        std::lock_guard<std::mutex> lock(mutex);
        clientGone = true;
        changed.notify_all();
    }
    bool WaitReceived(std::size_t count) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, 10s, [&] { return fromServer.size() >= count; });
    }
    bool WaitServerGone() {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, 10s, [&] { return serverGone; });
    }
};

class FakeServerPipe final : public IServerPipe {
public:
    FakeServerPipe(FakeNetwork& network, std::shared_ptr<Channel> channel, std::uint64_t pid)
        : network_(network), channel_(std::move(channel)), pid_(pid) {}
    ~FakeServerPipe() override {
        std::lock_guard<std::mutex> lock(channel_->mutex);
        channel_->serverGone = true;
        channel_->changed.notify_all();
    }
    std::uint32_t ReadMessage(Bytes& out, int timeoutMs) override {
        std::unique_lock<std::mutex> lock(channel_->mutex);
        auto ready = [&] { return cancelled_ || channel_->clientGone || !channel_->toServer.empty(); };
        if (timeoutMs > 0) {
            channel_->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready);
        } else {
            channel_->changed.wait(lock, ready);
        }
        if (!channel_->toServer.empty()) {
            out = std::move(channel_->toServer.front());
            channel_->toServer.pop_front();
            return kResultOk;
        }
        return channel_->clientGone ? kErrorBrokenPipe : kErrorIoPending;
    }
    std::uint32_t WriteMessage(const Bytes& in, int) override;
    std::uint32_t WriteRaw(const Bytes& in, int timeoutMs) override { return WriteMessage(in, timeoutMs); }
    void Cancel() override {
        std::lock_guard<std::mutex> lock(channel_->mutex);
        cancelled_ = true;
        channel_->changed.notify_all();
    }
    void Close() override {}
    std::uint64_t PeerProcessId() override { return pid_; }

private:
    FakeNetwork& network_;
    std::shared_ptr<Channel> channel_;
    std::uint64_t pid_;
    bool cancelled_ = false;
};

class FakeListener;

class FakeNetwork {
public:
    std::unique_ptr<IPipeListener> Listen(const std::wstring& name);
    // A client of process `pid` connects; null when nobody listens on the name.
    std::shared_ptr<Channel> Connect(const std::wstring& name, std::uint64_t pid);
    std::set<std::wstring> Listening() {
        std::lock_guard<std::mutex> lock(mutex_);
        std::set<std::wstring> names;
        for (const auto& entry : listeners_) {
            names.insert(entry.first);
        }
        return names;
    }

private:
    friend class FakeListener;
    std::mutex mutex_;
    std::map<std::wstring, FakeListener*> listeners_;
};

class FakeListener final : public IPipeListener {
public:
    FakeListener(FakeNetwork& network, std::wstring name) : network_(network), name_(std::move(name)) {}
    ~FakeListener() override {
        std::lock_guard<std::mutex> lock(network_.mutex_);
        network_.listeners_.erase(name_);
    }
    std::unique_ptr<IServerPipe> Accept(int timeoutMs) override {
        std::unique_lock<std::mutex> lock(mutex_);
        auto ready = [&] { return cancelled_ || !queue_.empty(); };
        if (timeoutMs > 0) {
            changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready);
        } else {
            changed_.wait(lock, ready);
        }
        if (cancelled_ || queue_.empty()) {
            return nullptr;
        }
        auto pipe = std::move(queue_.front());
        queue_.pop_front();
        return pipe;
    }
    void Cancel() override {
        std::lock_guard<std::mutex> lock(mutex_);
        cancelled_ = true;
        changed_.notify_all();
    }
    void Enqueue(std::unique_ptr<IServerPipe> pipe) {
        std::lock_guard<std::mutex> lock(mutex_);
        queue_.push_back(std::move(pipe));
        changed_.notify_all();
    }

private:
    FakeNetwork& network_;
    std::wstring name_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::unique_ptr<IServerPipe>> queue_;
    bool cancelled_ = false;
};

std::unique_ptr<IPipeListener> FakeNetwork::Listen(const std::wstring& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (listeners_.count(name) != 0) {
        return nullptr;
    }
    auto listener = std::make_unique<FakeListener>(*this, name);
    listeners_[name] = listener.get();
    return listener;
}

std::shared_ptr<Channel> FakeNetwork::Connect(const std::wstring& name, std::uint64_t pid) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = listeners_.find(name);
    if (it == listeners_.end()) {
        return nullptr;
    }
    auto channel = std::make_shared<Channel>();
    it->second->Enqueue(std::make_unique<FakeServerPipe>(*this, channel, pid));
    return channel;
}

std::uint32_t FakeServerPipe::WriteMessage(const Bytes& in, int) {
    const std::set<std::wstring> listening = network_.Listening();
    std::lock_guard<std::mutex> lock(channel_->mutex);
    if (channel_->clientGone) {
        return kErrorNoData;
    }
    if (channel_->fromServer.empty()) {
        channel_->listenersAtFirstWrite = listening;
    }
    channel_->fromServer.push_back(in);
    channel_->changed.notify_all();
    return kResultOk;
}

const std::wstring kBase = L"\\\\.\\pipe\\Fake\\{rendezvous}";

std::wstring NameOf(const Bytes& reply) {
    std::wstring name;
    for (std::size_t i = 0; i + 1 < reply.size(); ++i) {
        name += static_cast<wchar_t>(reply[i]);
    }
    return name;
}

// Records the sessions the host hands over.
class Sessions {
public:
    PipeHost::SessionHandler Handler() {
        return [this](PipeSession& session) {
            std::lock_guard<std::mutex> lock(mutex_);
            seen_.push_back(
                {session.identity, session.baseName, session.processId, session.notifications != nullptr});
            changed_.notify_all();
        };
    }
    struct Seen {
        std::string identity;
        std::wstring baseName;
        std::uint64_t processId;
        bool hasNotifications;
    };
    bool WaitFor(std::size_t count) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, 10s, [&] { return seen_.size() >= count; });
    }
    std::vector<Seen> All() {
        std::lock_guard<std::mutex> lock(mutex_);
        return seen_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Seen> seen_;
};

PipeHostOptions FakeOptions(FakeNetwork& network) {
    PipeHostOptions options;
    options.rendezvousBase = kBase;
    options.listen = [&network](const std::wstring& name) { return network.Listen(name); };
    return options;
}

// A client's whole bootstrap against the fakes, after its rendezvous reply has arrived.
std::wstring FinishRendezvous(FakeNetwork& network, Channel& in, Channel& out, std::uint64_t pid) {
    EXPECT_TRUE(out.WaitReceived(1));
    std::wstring base;
    {
        std::lock_guard<std::mutex> lock(out.mutex);
        base = NameOf(out.fromServer.at(0));
        EXPECT_EQ(out.fromServer[0].back(), 0);
        // The private pipes existed before the reply was written.
        EXPECT_EQ(out.listenersAtFirstWrite.count(base + L"_out"), 1u);
        EXPECT_EQ(out.listenersAtFirstWrite.count(base + L"_in"), 1u);
        EXPECT_EQ(out.listenersAtFirstWrite.count(base + L"_callback"), 1u);
    }
    in.Leave();
    out.Leave();
    EXPECT_TRUE(network.Connect(base + L"_out", pid));
    EXPECT_TRUE(network.Connect(base + L"_in", pid));
    EXPECT_TRUE(network.Connect(base + L"_callback", pid));
    return base;
}

TEST(PipeHost, RepliesGoToTheOutPipeOfTheProcessThatSentTheIdentity) {
    FakeNetwork network;
    Sessions sessions;
    PipeHost host(sessions.Handler(), FakeOptions(network));
    ASSERT_TRUE(host.Start());

    // Two clients connect "_in" in one order and "_out" in the other.
    auto in1 = network.Connect(kBase + L"_in", 1);
    auto in2 = network.Connect(kBase + L"_in", 2);
    ASSERT_TRUE(in1 && in2);
    in1->Send(TextMessage(":pid:1"));
    in2->Send(TextMessage(":pid:2"));
    auto out2 = network.Connect(kBase + L"_out", 2);
    auto out1 = network.Connect(kBase + L"_out", 1);
    ASSERT_TRUE(out1 && out2);

    const std::wstring base1 = FinishRendezvous(network, *in1, *out1, 1);
    const std::wstring base2 = FinishRendezvous(network, *in2, *out2, 2);
    EXPECT_NE(base1, base2);
    EXPECT_EQ(base1.rfind(L"\\\\.\\pipe\\Fake\\", 0), 0u);

    ASSERT_TRUE(sessions.WaitFor(2));
    for (const auto& seen : sessions.All()) {
        EXPECT_EQ(seen.identity, ":pid:" + std::to_string(seen.processId));
        EXPECT_EQ(seen.baseName, seen.processId == 1 ? base1 : base2);
        EXPECT_TRUE(seen.hasNotifications);
    }
    host.Stop();
    // The private names are released once their connections are accepted.
    EXPECT_EQ(network.Listening(), std::set<std::wstring>{});
}

TEST(PipeHost, PrivateConnectionsFromAnotherProcessAreTurnedAway) {
    FakeNetwork network;
    Sessions sessions;
    PipeHost host(sessions.Handler(), FakeOptions(network));
    ASSERT_TRUE(host.Start());
    auto in = network.Connect(kBase + L"_in", 7);
    auto out = network.Connect(kBase + L"_out", 7);
    in->Send(TextMessage(":pid:7"));
    ASSERT_TRUE(out->WaitReceived(1));
    const std::wstring base = NameOf(out->fromServer.at(0));
    in->Leave();
    out->Leave();
    auto intruder = network.Connect(base + L"_out", 99);
    ASSERT_TRUE(intruder);
    ASSERT_TRUE(network.Connect(base + L"_out", 7));
    ASSERT_TRUE(network.Connect(base + L"_in", 7));
    ASSERT_TRUE(network.Connect(base + L"_callback", 7));
    ASSERT_TRUE(sessions.WaitFor(1));
    EXPECT_EQ(sessions.All()[0].processId, 7u);
    EXPECT_TRUE(intruder->WaitServerGone());
}

TEST(PipeHost, ALeftOverRendezvousConnectionOfTheSameProcessIsPassedOver) {
    FakeNetwork network;
    Sessions sessions;
    PipeHost host(sessions.Handler(), FakeOptions(network));
    ASSERT_TRUE(host.Start());
    auto abandoned = network.Connect(kBase + L"_in", 5);  // an earlier attempt that gave up
    abandoned->Leave();
    auto in = network.Connect(kBase + L"_in", 5);
    in->Send(TextMessage(":pid:5"));
    auto out = network.Connect(kBase + L"_out", 5);
    FinishRendezvous(network, *in, *out, 5);
    ASSERT_TRUE(sessions.WaitFor(1));
    EXPECT_EQ(sessions.All()[0].identity, ":pid:5");
}

TEST(PipeHost, ASilentHostReportsTheIdentityButNeverAnswers) {
    FakeNetwork network;
    Sessions sessions;
    PipeHostOptions options = FakeOptions(network);
    options.answerRendezvous = false;
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> identities;
    options.onIdentity = [&](const std::string& identity, std::uint64_t) {
        std::lock_guard<std::mutex> lock(mutex);
        identities.push_back(identity);
        changed.notify_all();
    };
    PipeHost host(sessions.Handler(), options);
    ASSERT_TRUE(host.Start());
    auto in = network.Connect(kBase + L"_in", 3);
    auto out = network.Connect(kBase + L"_out", 3);
    in->Send(TextMessage(":pid:3"));
    {
        std::unique_lock<std::mutex> lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, 10s, [&] { return !identities.empty(); }));
    }
    EXPECT_EQ(identities, std::vector<std::string>{":pid:3"});
    host.Stop();  // must not wait for the client
    EXPECT_TRUE(out->fromServer.empty());
    EXPECT_TRUE(out->WaitServerGone());
    EXPECT_TRUE(sessions.All().empty());
}

TEST(PipeHost, StopWakesRunningSessionHandlers) {
    FakeNetwork network;
    std::promise<void> reading;
    std::promise<std::uint32_t> result;
    PipeHost host(
        [&](PipeSession& session) {
            reading.set_value();
            Bytes request;
            result.set_value(session.requests->ReadMessage(request, -1));
        },
        FakeOptions(network));
    ASSERT_TRUE(host.Start());
    auto in = network.Connect(kBase + L"_in", 4);
    auto out = network.Connect(kBase + L"_out", 4);
    in->Send(TextMessage(":pid:4"));
    FinishRendezvous(network, *in, *out, 4);
    reading.get_future().wait();
    host.Stop();
    EXPECT_EQ(result.get_future().get(), kErrorIoPending);
}

TEST(PipeHost, StartFailsWhenTheRendezvousIsServedAlready) {
    FakeNetwork network;
    auto squatter = network.Listen(kBase + L"_out");
    PipeHost host([](PipeSession&) {}, FakeOptions(network));
    EXPECT_FALSE(host.Start());
    // Nothing was left behind, and the host can start once the name is free.
    EXPECT_EQ(network.Listening(), std::set<std::wstring>{kBase + L"_out"});
    squatter.reset();
    EXPECT_TRUE(host.Start());
}

}  // namespace
}  // namespace sdk::test
