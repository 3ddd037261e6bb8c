#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "api/retention.h"
#include "api_fixture.h"

namespace sdk::testing {
namespace {

using Concurrency = ApiTest;

TEST_F(Concurrency, LastErrorBelongsToTheThreadThatMadeTheCall) {
    EXPECT_EQ(VeltariGetDeviceCount(), -1);
    ASSERT_EQ(LastError(), VeltariErrorNoHandshake);

    server.SetReachable(false);
    int failedHandshake = -1;
    std::thread([&] {
        VeltariPerformProtocolHandshake();
        failedHandshake = LastError();
    }).join();
    EXPECT_EQ(failedHandshake, VeltariErrorServerUnreachable);
    EXPECT_EQ(LastError(), VeltariErrorNoHandshake);

    server.SetReachable(true);
    int goodHandshake = -1;
    std::thread([&] {
        HandshakeAnswered();
        goodHandshake = LastError();
    }).join();
    EXPECT_EQ(goodHandshake, VeltariErrorSuccess);
    EXPECT_EQ(LastError(), VeltariErrorNoHandshake);
}

TEST_F(Concurrency, ThreadsCallingTogetherEachSeeTheirOwnOutcome) {
    HandshakeAnswered();
    server.SetFallback(R"({"result":5,"errorCode":9})");
    constexpr int kThreads = 4;
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                if (t % 2 == 0) {
                    if (VeltariGetDeviceCount() != 5 || LastError() != VeltariErrorSuccess) ++mismatches;
                } else {
                    StoreLastError(100 + t);
                    std::this_thread::yield();
                    if (LastError() != 100 + t) ++mismatches;
                }
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(mismatches.load(), 0);
}

// Calls keep going while another thread keeps replacing the connection; each call must use a live
// connection from its gate to its answer, so it sees either an answer or an unreachable server.
TEST_F(Concurrency, ConnectionReplacedWhileAnotherThreadCalls) {
    server.SetFallback(R"({"result":2,"serverProtocolVersion":9,"serverVersion":"v"})");
    VeltariPerformProtocolHandshake();
    ASSERT_TRUE(HandshakeDone());

    std::atomic<bool> stop{false};
    std::atomic<int> answered{0};
    std::atomic<int> unreachable{0};
    std::atomic<int> wrong{0};
    std::thread caller([&] {
        while (!stop) {
            const int count = VeltariGetDeviceCount();
            const int error = LastError();
            if (count == 2 && error == VeltariErrorSuccess) {
                ++answered;
            } else if (count == -1 && error == VeltariErrorServerUnreachable) {
                ++unreachable;
            } else {
                ++wrong;
            }
        }
    });
    // Replace until both sides have done plenty, so the two loops overlap however threads are scheduled.
    int handshakes = 0;
    int handshakeFailures = 0;
    while (handshakes < 100 || answered + unreachable + wrong < 300) {
        server.BreakLatest();
        VeltariPerformProtocolHandshake();
        handshakeFailures += LastError() != VeltariErrorSuccess;
        ++handshakes;
    }
    stop = true;
    caller.join();

    EXPECT_EQ(handshakeFailures, 0);
    EXPECT_EQ(wrong.load(), 0);
    const auto lines = server.Lines();
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(handshakes + 1));
    for (std::size_t i = 0; i + 1 < lines.size(); ++i) EXPECT_TRUE(lines[i]->destroyed) << i;
    EXPECT_FALSE(lines.back()->destroyed);
}

TEST_F(Concurrency, RetentionListsTakeEntriesFromManyThreadsAtOnce) {
    constexpr int kThreads = 4;
    constexpr int kEach = 500;
    std::vector<std::thread> threads;
    std::vector<std::vector<const char*>> kept(kThreads);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                kept[t].push_back(RetainString(std::to_string(t * kEach + i)));
                Retain(std::make_unique<VeltariLedPositions>());
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(State().retention.strings.Size(), static_cast<std::size_t>(kThreads * kEach));
    EXPECT_EQ(State().retention.ledPositions.Size(), static_cast<std::size_t>(kThreads * kEach));
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kEach; ++i) EXPECT_EQ(kept[t][i], std::to_string(t * kEach + i));
    }
}

}  // namespace
}  // namespace sdk::testing
