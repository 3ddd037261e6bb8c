// The RPC connection over three real pipes whose server ends the test plays, and over fakes where the
// order of teardown must be observed exactly.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

#include "pipe_test_util.h"
#include "transport/frame_channel.h"

namespace sdk::test {
namespace {

std::string Nul(const std::string& text) {
    return text + '\0';
}

std::string TextOf(const Bytes& payload) {
    return std::string(payload.begin(), payload.end());
}

// Collects notification texts and the threads that delivered them.
class Recorder {
public:
    NotificationHandler Handler() {
        return [this](const std::string& text) {
            std::lock_guard<std::mutex> lock(mutex_);
            texts_.push_back(text);
            threads_.push_back(std::this_thread::get_id());
            changed_.notify_all();
        };
    }
    bool WaitFor(std::size_t count) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(10), [&] { return texts_.size() >= count; });
    }
    std::vector<std::string> Texts() {
        std::lock_guard<std::mutex> lock(mutex_);
        return texts_;
    }
    std::vector<std::thread::id> Threads() {
        std::lock_guard<std::mutex> lock(mutex_);
        return threads_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> texts_;
    std::vector<std::thread::id> threads_;
};

// Waits for a condition that other threads make true.
template <typename Condition>
bool Eventually(Condition condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

TEST(RpcConnection, ACallSendsTheTextWithANulAndReturnsEveryResponseByte) {
    ConnectionLinks links = OpenConnectionLinks();
    ASSERT_TRUE(links.connection);
    auto call = std::async(std::launch::async, [&] { return links.connection->Call(R"({"method":"x"})"); });
    Bytes request;
    ASSERT_EQ(links.requests.server->ReadMessage(request, 5000), kResultOk);
    EXPECT_EQ(TextOf(request), Nul(R"({"method":"x"})"));
    ASSERT_EQ(links.responses.server->WriteMessage(TextMessage(R"({"result":1})"), 1000), kResultOk);
    EXPECT_EQ(call.get(), Nul(R"({"result":1})"));
    EXPECT_FALSE(links.connection->IsBroken());
}

TEST(RpcConnection, AnEmptyResponseFailsOneCallButKeepsTheConnection) {
    ConnectionLinks links = OpenConnectionLinks();
    ASSERT_TRUE(links.connection);
    ASSERT_EQ(links.responses.server->WriteMessage({}, 1000), kResultOk);
    EXPECT_EQ(links.connection->Call("a"), "");
    EXPECT_FALSE(links.connection->IsBroken());
    ASSERT_EQ(links.responses.server->WriteMessage({'o', 'k'}, 1000), kResultOk);
    EXPECT_EQ(links.connection->Call("b"), "ok");
    Bytes request;
    ASSERT_EQ(links.requests.server->ReadMessage(request, 1000), kResultOk);
    EXPECT_EQ(TextOf(request), Nul("a"));
    ASSERT_EQ(links.requests.server->ReadMessage(request, 1000), kResultOk);
    EXPECT_EQ(TextOf(request), Nul("b"));
}

TEST(RpcConnection, AGivenUpConnectionAnswersAtOnce) {
    ConnectionLinks links = OpenConnectionLinks();
    ASSERT_TRUE(links.connection);
    links.responses.server->Close();
    EXPECT_EQ(links.connection->Call("x"), "");
    EXPECT_TRUE(links.connection->IsBroken());
    const Stopwatch watch;
    EXPECT_EQ(links.connection->Call("y"), "");
    EXPECT_LT(watch.ElapsedMs(), 1000);
}

TEST(RpcConnection, AFailedWriteToAVanishedServerGivesTheConnectionUp) {
    ConnectionLinks links = OpenConnectionLinks();
    ASSERT_TRUE(links.connection);
    links.requests.server->Close();
    EXPECT_EQ(links.connection->Call("x"), "");
    EXPECT_TRUE(links.connection->IsBroken());
    // The response pipe is given up with it: a response sent now is never taken.
    ASSERT_EQ(links.responses.server->WriteMessage({'l', 'a', 't', 'e'}, 1000), kErrorBrokenPipe);
}

TEST(RpcConnection, CallsFromManyThreadsEachGetTheirOwnResponse) {
    ConnectionLinks links = OpenConnectionLinks();
    ASSERT_TRUE(links.connection);
    constexpr int kThreads = 4;
    constexpr int kCalls = 25;
    std::thread echo([&] {
        for (int i = 0; i < kThreads * kCalls; ++i) {
            Bytes request;
            if (links.requests.server->ReadMessage(request, 10000) != kResultOk) {
                return;
            }
            request.back() = '!';
            links.responses.server->WriteMessage(request, 10000);
        }
    });
    std::vector<std::future<int>> callers;
    for (int t = 0; t < kThreads; ++t) {
        callers.push_back(std::async(std::launch::async, [&, t] {
            int matched = 0;
            for (int i = 0; i < kCalls; ++i) {
                const std::string text = std::to_string(t) + ":" + std::to_string(i);
                matched += links.connection->Call(text) == text + "!" ? 1 : 0;
            }
            return matched;
        }));
    }
    for (auto& caller : callers) {
        EXPECT_EQ(caller.get(), kCalls);
    }
    echo.join();
}

TEST(RpcConnection, NotificationsReachTheHandlerInOrderOnOneThread) {
    ConnectionLinks links = OpenConnectionLinks();
    ASSERT_TRUE(links.connection);
    Recorder recorder;
    links.connection->SetNotificationHandler(recorder.Handler());
    EXPECT_TRUE(links.connection->HasNotificationHandler());
    auto& server = *links.notifications.server;
    ASSERT_EQ(server.WriteMessage(TextMessage("first"), 1000), kResultOk);
    ASSERT_EQ(server.WriteMessage({}, 1000), kResultOk);   // too short: ignored
    ASSERT_EQ(server.WriteMessage({0}, 1000), kResultOk);  // a lone NUL: ignored
    ASSERT_EQ(server.WriteMessage(TextMessage("second"), 1000), kResultOk);
    ASSERT_EQ(server.WriteMessage({'x', 'y'}, 1000), kResultOk);  // the last byte goes, NUL or not
    ASSERT_EQ(recorder.WaitFor(3), true);
    EXPECT_EQ(recorder.Texts(), (std::vector<std::string>{"first", "second", "x"}));
    const auto threads = recorder.Threads();
    EXPECT_EQ(threads[0], threads[1]);
    EXPECT_EQ(threads[1], threads[2]);
    EXPECT_NE(threads[0], std::this_thread::get_id());
    EXPECT_FALSE(links.connection->IsBroken());
}

TEST(RpcConnection, AnEmptyHandlerStartsNothingAndLeavesTheChannelAlone) {
    ConnectionLinks links = OpenConnectionLinks();
    ASSERT_TRUE(links.connection);
    links.connection->SetNotificationHandler(nullptr);
    EXPECT_FALSE(links.connection->HasNotificationHandler());
    EXPECT_FALSE(links.connection->IsBroken());
    // The channel was not cancelled, so a real handler installed later still gets notifications.
    Recorder recorder;
    links.connection->SetNotificationHandler(recorder.Handler());
    ASSERT_EQ(links.notifications.server->WriteMessage(TextMessage("late"), 1000), kResultOk);
    ASSERT_TRUE(recorder.WaitFor(1));
    EXPECT_EQ(recorder.Texts(), std::vector<std::string>{"late"});
}

TEST(RpcConnection, ReplacingOrSilencingTheHandlerKeepsTheChannelForTheConnectionsLife) {
    ConnectionLinks links = OpenConnectionLinks();
    ASSERT_TRUE(links.connection);
    auto& server = *links.notifications.server;
    Recorder first;
    links.connection->SetNotificationHandler(first.Handler());
    ASSERT_EQ(server.WriteMessage(TextMessage("one"), 1000), kResultOk);
    ASSERT_TRUE(first.WaitFor(1));  // the reader is back to waiting for the next message

    Recorder second;
    links.connection->SetNotificationHandler(second.Handler());
    ASSERT_EQ(server.WriteMessage(TextMessage("two"), 1000), kResultOk);
    ASSERT_TRUE(second.WaitFor(1));
    EXPECT_EQ(first.Texts(), std::vector<std::string>{"one"});
    EXPECT_EQ(second.Texts(), std::vector<std::string>{"two"});

    links.connection->SetNotificationHandler(nullptr);
    EXPECT_FALSE(links.connection->HasNotificationHandler());
    EXPECT_FALSE(links.connection->IsBroken());
    Recorder third;
    links.connection->SetNotificationHandler(third.Handler());
    ASSERT_EQ(server.WriteMessage(TextMessage("three"), 1000), kResultOk);
    ASSERT_TRUE(third.WaitFor(1));
    EXPECT_EQ(third.Texts().back(), "three");
    EXPECT_FALSE(links.connection->IsBroken());
    ASSERT_EQ(links.responses.server->WriteMessage({'o', 'k'}, 1000), kResultOk);
    EXPECT_EQ(links.connection->Call("q"), "ok");
}

TEST(RpcConnection, AServerClosingTheNotificationPipeBreaksTheConnection) {
    ConnectionLinks links = OpenConnectionLinks();
    ASSERT_TRUE(links.connection);
    Recorder recorder;
    links.connection->SetNotificationHandler(recorder.Handler());
    links.notifications.server->Close();
    EXPECT_TRUE(Eventually([&] { return links.connection->IsBroken(); }));
    // The reader ended on its own; destruction still joins cleanly.
}

TEST(RpcConnection, AHandlerMayCallThroughTheConnection) {
    ConnectionLinks links = OpenConnectionLinks();
    ASSERT_TRUE(links.connection);
    std::promise<std::string> answer;
    links.connection->SetNotificationHandler(
        [&](const std::string& text) { answer.set_value(links.connection->Call("because " + text)); });
    ASSERT_EQ(links.notifications.server->WriteMessage(TextMessage("key"), 1000), kResultOk);
    Bytes request;
    ASSERT_EQ(links.requests.server->ReadMessage(request, 5000), kResultOk);
    EXPECT_EQ(TextOf(request), Nul("because key"));
    ASSERT_EQ(links.responses.server->WriteMessage({'d', 'o', 'n', 'e'}, 1000), kResultOk);
    auto result = answer.get_future();
    ASSERT_EQ(result.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(result.get(), "done");
}

TEST(RpcConnection, InstallingAndSilencingAHandlerRepeatedlyNeverDeadlocks) {
    ConnectionLinks links = OpenConnectionLinks();
    ASSERT_TRUE(links.connection);
    auto churn = std::async(std::launch::async, [&] {
        for (int i = 0; i < 200; ++i) {
            links.connection->SetNotificationHandler([](const std::string&) {});
            links.connection->SetNotificationHandler(nullptr);
        }
    });
    ASSERT_EQ(churn.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    EXPECT_FALSE(links.connection->HasNotificationHandler());
    EXPECT_FALSE(links.connection->IsBroken());
}

TEST(RpcConnection, HandlersInstalledFromTwoThreadsAtOnceLeaveOneSetOfThreads) {
    ConnectionLinks links = OpenConnectionLinks();
    ASSERT_TRUE(links.connection);
    auto install = [&] {
        for (int i = 0; i < 50; ++i) {
            links.connection->SetNotificationHandler([](const std::string&) {});
        }
    };
    auto first = std::async(std::launch::async, install);
    auto second = std::async(std::launch::async, install);
    ASSERT_EQ(first.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    ASSERT_EQ(second.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    EXPECT_TRUE(links.connection->HasNotificationHandler());
    links.connection->SetNotificationHandler(nullptr);
    EXPECT_FALSE(links.connection->HasNotificationHandler());
}

// In-memory channels that report how they were used when they go away.
struct Probe {
    std::atomic<int> readsInProgress{0};
    std::atomic<bool> handlerRunning{false};
    std::atomic<int> channelsGone{0};
    std::atomic<bool> usedAfterThreadsEnded{false};
    std::vector<std::string> destroyed;  // names, in order; written by the destroying thread only
};

// An in-memory pipe that serves the frames it was given, takes every write, and notes when it goes away.
class FakePipe final : public IBytePipe {
public:
    FakePipe(Probe& probe, std::string name, const std::vector<Bytes>& frames)
        : probe_(probe), name_(std::move(name)) {
        for (const Bytes& frame : frames) {
            const auto n = static_cast<std::uint32_t>(frame.size());
            bytes_.insert(bytes_.end(),
                          {static_cast<std::uint8_t>(n), static_cast<std::uint8_t>(n >> 8),
                           static_cast<std::uint8_t>(n >> 16), static_cast<std::uint8_t>(n >> 24)});
            bytes_.insert(bytes_.end(), frame.begin(), frame.end());
        }
    }
    ~FakePipe() override {
        if (probe_.readsInProgress != 0 || probe_.handlerRunning) {
            probe_.usedAfterThreadsEnded = true;
        }
        probe_.destroyed.push_back(name_);
    }
    IoResult ReadSome(std::uint8_t* data, std::size_t size, const Deadline&) override {
        ++probe_.readsInProgress;
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return cancelled_ || next_ < bytes_.size(); });
        IoResult result{IoStatus::kCancelled};
        if (next_ < bytes_.size()) {
            result = {IoStatus::kOk, 0, std::min(size, bytes_.size() - next_)};
            std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(next_), result.moved, data);
            next_ += result.moved;
        }
        --probe_.readsInProgress;
        return result;
    }
    IoResult WriteSome(std::span<const BytesPiece> pieces, const Deadline&) override {
        IoResult result;
        for (const BytesPiece& piece : pieces) result.moved += piece.size;
        return result;
    }
    void Cancel() override {
        std::lock_guard<std::mutex> lock(mutex_);
        cancelled_ = true;
        changed_.notify_all();
    }
    void Close() override {}

private:
    Probe& probe_;
    std::string name_;
    Bytes bytes_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::size_t next_ = 0;
    bool cancelled_ = false;
};

std::shared_ptr<FrameChannel> FakeChannel(Probe& probe, std::string name,
                                          const std::vector<Bytes>& frames = {}) {
    return std::make_shared<FrameChannel>(std::make_unique<FakePipe>(probe, std::move(name), frames));
}

TEST(RpcConnection, DestructionStopsAndJoinsBothThreadsBeforeReleasingTheChannels) {
    Probe probe;
    auto connection =
        std::make_unique<RpcConnection>(FakeChannel(probe, "responses"), FakeChannel(probe, "requests"),
                                        FakeChannel(probe, "notifications", {TextMessage("key")}));
    std::promise<void> entered;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    connection->SetNotificationHandler([&, released](const std::string&) {
        probe.handlerRunning = true;
        entered.set_value();
        released.wait();
        probe.handlerRunning = false;
    });
    entered.get_future().wait();

    auto destroy = std::async(std::launch::async, [&] { connection.reset(); });
    // The handler is still running, so destruction must wait for the dispatcher.
    EXPECT_EQ(destroy.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
    release.set_value();
    ASSERT_EQ(destroy.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_FALSE(probe.usedAfterThreadsEnded);
    EXPECT_EQ(probe.destroyed, (std::vector<std::string>{"notifications", "requests", "responses"}));
}

TEST(RpcConnection, AMissingChannelMakesTheConnectionBroken) {
    Probe probe;
    RpcConnection noNotifications(FakeChannel(probe, "responses", {{'r'}}), FakeChannel(probe, "requests"),
                                  nullptr);
    EXPECT_TRUE(noNotifications.IsBroken());
    EXPECT_EQ(noNotifications.Call("x"), "r");
    Recorder recorder;
    noNotifications.SetNotificationHandler(recorder.Handler());
    noNotifications.SetNotificationHandler(nullptr);
    EXPECT_FALSE(noNotifications.HasNotificationHandler());

    RpcConnection noRequests(FakeChannel(probe, "responses", {{'r'}}), nullptr,
                             FakeChannel(probe, "notifications"));
    EXPECT_TRUE(noRequests.IsBroken());
    EXPECT_EQ(noRequests.Call("x"), "");
}

}  // namespace
}  // namespace sdk::test
