// The reference server as a separate process, killed, stopped and restarted around the library's calls:
// every call returns within its time-out with the right last error, no thread stays blocked, and the
// next handshake recovers.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "api/client_state.h"
#include "server_process.h"
#include "veltari.h"

namespace sdk::test {
namespace {

// One exchange may wait 5000 ms for its answer; the rest is room for a loaded machine.
constexpr long long kExchangeMs = 5000;
constexpr long long kSlackMs = 3000;

class ServerFaults : public ::testing::Test {
protected:
    void SetUp() override {
        UnloadClientState();
        LoadClientState();
        // A sanitizer's runtime starts a thread of its own with the first thread; let that happen first.
        std::thread([] {}).join();
        threadsBefore_ = ThreadCount();
    }
    void TearDown() override {
        UnloadClientState();
        LoadClientState();
        // Whatever the library started for a test has ended once its state is gone.
        EXPECT_TRUE(WaitUntil([&] { return ThreadCount() <= threadsBefore_; }))
            << ThreadCount() << " threads, " << threadsBefore_ << " before";
    }

    static void ExpectWorking(int expectedCount) {
        EXPECT_EQ(VeltariGetDeviceCount(), expectedCount);
        EXPECT_EQ(VeltariGetLastError(), VeltariErrorSuccess);
    }

    static void ExpectUnreachable() {
        Elapsed elapsed;
        EXPECT_EQ(VeltariGetDeviceCount(), -1);
        EXPECT_EQ(VeltariGetLastError(), VeltariErrorServerUnreachable);
        EXPECT_LT(elapsed.Ms(), kExchangeMs + kSlackMs);
    }

    int threadsBefore_ = 0;
};

TEST_F(ServerFaults, KilledBetweenRequests) {
    ServerProcess server;
    ASSERT_TRUE(server.Start());
    const int devices = VeltariGetDeviceCount();
    ASSERT_GT(devices, 0);
    server.Kill();

    // The dead server is found out by the next exchange, at once rather than after a time-out.
    Elapsed elapsed;
    EXPECT_EQ(VeltariGetDeviceCount(), -1);
    EXPECT_EQ(VeltariGetLastError(), VeltariErrorServerUnreachable);
    EXPECT_LT(elapsed.Ms(), kSlackMs);
    ExpectUnreachable();

    const VeltariProtocolDetails failed = VeltariPerformProtocolHandshake();
    EXPECT_EQ(failed.serverVersion, nullptr);
    EXPECT_EQ(VeltariGetLastError(), VeltariErrorServerUnreachable);

    ASSERT_TRUE(server.Start());
    ExpectWorking(devices);
}

TEST_F(ServerFaults, KilledInTheMiddleOfRequests) {
    ServerProcess server;
    ASSERT_TRUE(server.Start());
    const int devices = VeltariGetDeviceCount();
    // Stopped, the server takes requests into its socket and answers none; then it dies. Whether a call
    // had written its request before the kill or not, each must fail the same way.
    server.Stop();
    std::vector<std::future<std::pair<int, int>>> calls;
    for (int i = 0; i < 3; ++i) {
        calls.push_back(std::async(std::launch::async, [] {
            const int count = VeltariGetDeviceCount();
            return std::make_pair(count, static_cast<int>(VeltariGetLastError()));
        }));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    Elapsed sinceKill;
    server.Kill();
    for (auto& call : calls) {
        ASSERT_EQ(call.wait_for(std::chrono::milliseconds(kExchangeMs + kSlackMs)), std::future_status::ready)
            << "a call stayed blocked after the server died";
        EXPECT_EQ(call.get(), std::make_pair(-1, static_cast<int>(VeltariErrorServerUnreachable)));
    }
    EXPECT_LT(sinceKill.Ms(), kExchangeMs + kSlackMs);
    ASSERT_TRUE(server.Start());
    ExpectWorking(devices);
}

TEST_F(ServerFaults, StoppedServerMakesRequestsTimeOut) {
    ServerProcess server;
    ASSERT_TRUE(server.Start());
    const int devices = VeltariGetDeviceCount();
    server.Stop();

    // One call waits out the time-out; the others wait for it, then find the connection given up.
    Elapsed elapsed;
    std::vector<std::future<int>> calls;
    for (int i = 0; i < 3; ++i) {
        calls.push_back(std::async(std::launch::async, [i] {
            if (i == 0) return VeltariGetDeviceCount() == -1 ? static_cast<int>(VeltariGetLastError()) : 0;
            if (i == 1) return VeltariGetDeviceInfo(0) == nullptr ? static_cast<int>(VeltariGetLastError()) : 0;
            const VeltariLedColor red = {5, 255, 0, 0};
            return VeltariSetLedsColors(1, &red) ? 0 : static_cast<int>(VeltariGetLastError());
        }));
    }
    for (auto& call : calls) {
        ASSERT_EQ(call.wait_for(std::chrono::milliseconds(2 * kExchangeMs + kSlackMs)), std::future_status::ready);
        EXPECT_EQ(call.get(), VeltariErrorServerUnreachable);
    }
    EXPECT_GE(elapsed.Ms(), kExchangeMs - 500) << "failed before the time-out";
    EXPECT_LT(elapsed.Ms(), kExchangeMs + kSlackMs);

    // Awake again, the server answers the old request on pipes nobody reads any more; the library does
    // not reconnect behind the caller's back, and the next handshake gets fresh pipes.
    server.Continue();
    ExpectUnreachable();
    const VeltariProtocolDetails details = VeltariPerformProtocolHandshake();
    EXPECT_NE(details.serverVersion, nullptr);
    EXPECT_EQ(VeltariGetLastError(), VeltariErrorSuccess);
    ExpectWorking(devices);
}

TEST_F(ServerFaults, RestartedAgainAndAgain) {
    ServerProcess server;
    ASSERT_TRUE(server.Start());
    const int devices = VeltariGetDeviceCount();
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        server.Kill();
        ExpectUnreachable();
        ASSERT_TRUE(server.Start());
        ExpectWorking(devices);
        const VeltariDeviceInfo* info = VeltariGetDeviceInfo(0);
        ASSERT_NE(info, nullptr);
        EXPECT_NE(info->model, nullptr);
    }
}

struct KeyLog {
    std::mutex mutex;
    std::vector<int> keys;
    std::size_t Size() {
        std::lock_guard<std::mutex> lock(mutex);
        return keys.size();
    }
};

void RecordKey(void* context, VeltariKeyId key, bool) {
    auto* log = static_cast<KeyLog*>(context);
    std::lock_guard<std::mutex> lock(log->mutex);
    log->keys.push_back(key);
}

TEST_F(ServerFaults, KilledDuringNotificationDelivery) {
    ServerProcess server({"--keys", "#4 #5 #6", "--keys-loop", "--key-interval", "2"});
    ASSERT_TRUE(server.Start());
    // Outlives the test: the library may deliver one more key until the fixture unloads it.
    static KeyLog log;
    {
        std::lock_guard<std::mutex> lock(log.mutex);
        log.keys.clear();
    }
    ASSERT_TRUE(VeltariRegisterKeypressCallback(RecordKey, &log));
    ASSERT_TRUE(WaitUntil([&] { return log.Size() >= 20; })) << "no notifications arrived";
    server.Kill();

    // The notification pipe broke with the server: calls fail, nothing hangs, delivery has stopped.
    ASSERT_TRUE(WaitUntil([&] { return VeltariGetDeviceCount() == -1; }));
    EXPECT_EQ(VeltariGetLastError(), VeltariErrorServerUnreachable);
    const std::size_t afterKill = log.Size();

    // The reconnecting handshake replaced the connection and dropped its callbacks; a new registration
    // starts delivery on the new connection.
    ASSERT_TRUE(server.Start());
    EXPECT_EQ(log.Size(), afterKill);
    ASSERT_TRUE(VeltariRegisterKeypressCallback(RecordKey, &log));
    EXPECT_TRUE(WaitUntil([&] { return log.Size() >= afterKill + 20; }));
}

struct Completion {
    std::mutex mutex;
    std::condition_variable done;
    std::vector<std::pair<bool, int>> results;
    bool Wait(std::size_t count, long long timeoutMs) {
        std::unique_lock<std::mutex> lock(mutex);
        return done.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return results.size() >= count; });
    }
};

void OnComplete(void* context, bool success, VeltariError error) {
    auto* completion = static_cast<Completion*>(context);
    std::lock_guard<std::mutex> lock(completion->mutex);
    completion->results.emplace_back(success, static_cast<int>(error));
    completion->done.notify_all();
}

TEST_F(ServerFaults, KilledDuringAnAsynchronousPass) {
    ServerProcess server;
    ASSERT_TRUE(server.Start());
    const VeltariLedColor blue = {7, 0, 0, 255};
    Completion completion;
    ASSERT_TRUE(VeltariSetLedsColorsAsync(1, &blue, OnComplete, &completion));
    ASSERT_TRUE(completion.Wait(1, kExchangeMs + kSlackMs));
    EXPECT_EQ(completion.results[0], std::make_pair(true, 0));

    // The worker's next pass sends to a stopped server and is waiting in its exchange when it dies.
    server.Stop();
    ASSERT_TRUE(VeltariSetLedsColorsAsync(1, &blue, OnComplete, &completion));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    server.Kill();
    ASSERT_TRUE(completion.Wait(2, kExchangeMs + kSlackMs)) << "the completion never came";
    EXPECT_EQ(completion.results[1], std::make_pair(false, static_cast<int>(VeltariErrorServerUnreachable)));

    // With the server gone a pass fails at once; after a handshake passes succeed again.
    ASSERT_TRUE(VeltariSetLedsColorsAsync(1, &blue, OnComplete, &completion));
    ASSERT_TRUE(completion.Wait(3, kSlackMs));
    EXPECT_EQ(completion.results[2], std::make_pair(false, static_cast<int>(VeltariErrorServerUnreachable)));
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(VeltariSetLedsColorsAsync(1, &blue, OnComplete, &completion));
    ASSERT_TRUE(completion.Wait(4, kExchangeMs + kSlackMs));
    EXPECT_EQ(completion.results[3], std::make_pair(true, 0));
}

}  // namespace
}  // namespace sdk::test
