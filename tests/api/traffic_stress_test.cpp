// Many threads mixing synchronous, buffered, asynchronous and key-press traffic while the server keeps
// dropping the client and the client keeps reconnecting, over real pipes. Every call must give one of
// its possible outcomes, every queued callback must be called exactly once, and nothing may hang.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "api/client_state.h"
#include "api/last_error.h"
#include "api_fixture.h"
#include "callback_recorder.h"
#include "support/pipe_runtime.h"
#include "support/scripted_server.h"
#include "veltari.h"

namespace sdk::testing {
namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kTrafficTime = std::chrono::milliseconds(1500);

struct Traffic {
    std::atomic<bool> stop{false};
    std::atomic<int> wrongOutcomes{0};
    std::atomic<int> queued{0};
    std::atomic<int> completed{0};
    std::atomic<int> keys{0};
    std::atomic<int> answered{0};

    void Expect(bool ok) {
        if (!ok) ++wrongOutcomes;
    }
};

void CountCompletion(void* context, bool success, VeltariError error) {
    auto* traffic = static_cast<Traffic*>(context);
    // The outcome of a pass: an answer ({"result":true}) or no connection.
    traffic->Expect((success && error == VeltariErrorSuccess) ||
                    (!success && error == VeltariErrorServerUnreachable));
    traffic->Expect(static_cast<int>(VeltariGetLastError()) == static_cast<int>(error));
    ++traffic->completed;
}

void QueueColors(Traffic& traffic, int seed) {
    const VeltariLedColor colors[] = {{seed % 912, seed % 256, 1, 2}, {(seed + 1) % 912, 3, seed % 256, 4}};
    ++traffic.queued;
    const bool queued = seed % 3 == 0 ? VeltariSetLedsColorsFlushBufferAsync(CountCompletion, &traffic)
                                      : VeltariSetLedsColorsAsync(2, colors, CountCompletion, &traffic);
    traffic.Expect(queued && VeltariGetLastError() == VeltariErrorSuccess);
    if (!queued) --traffic.queued;
}

void CountKey(void* context, VeltariKeyId key, bool) {
    auto* traffic = static_cast<Traffic*>(context);
    ++traffic->keys;
    // Key presses turn into colours, as applications do.
    if (key % 2 == 0) QueueColors(*traffic, key);
}

bool SyncOutcome(bool result, int error, bool expectedResult) {
    return (result == expectedResult && error == VeltariErrorSuccess) ||
           (!result && error == VeltariErrorServerUnreachable);
}

TEST(TrafficStress, MixedTrafficWithReconnectsStaysConsistent) {
    sdk::test::UsePrivatePipeRuntime();
    UnloadClientState();
    LoadClientState();
    sdk::test::ScriptedServer server;
    server.OnMethod("VeltariGetDeviceCount", R"({"result":3})");
    server.OnMethod("VeltariSetLedsColors", R"({"result":true})");
    server.OnMethod("VeltariSetLedsColorsFlushBuffer", R"({"result":true})");
    ASSERT_TRUE(server.Start());
    ASSERT_NE(VeltariPerformProtocolHandshake().serverVersion, nullptr);

    Traffic traffic;
    FinishesOrAbort(
        [&] {
            std::vector<std::thread> threads;
            const auto until = Clock::now() + kTrafficTime;
            auto running = [&] { return Clock::now() < until; };

            // Synchronous calls and the buffer.
            for (int t = 0; t < 2; ++t) {
                threads.emplace_back([&, t] {
                    for (int i = 0; running(); ++i) {
                        const int count = VeltariGetDeviceCount();
                        traffic.Expect(
                            (count == 3 && VeltariGetLastError() == VeltariErrorSuccess) ||
                            (count == -1 && VeltariGetLastError() == VeltariErrorServerUnreachable));
                        const VeltariLedColor colors[] = {{(i * 7 + t) % 912, 1, 2, 3}};
                        StoreLastError(42);
                        const bool buffered = VeltariSetLedsColorsBufferByDeviceIndex(t, 1, colors);
                        traffic.Expect(VeltariGetLastError() ==
                                       (buffered ? 42 : VeltariErrorServerUnreachable));
                        if (i % 4 == 0) {
                            const bool flushed = VeltariSetLedsColorsFlushBuffer();
                            traffic.Expect(SyncOutcome(flushed, VeltariGetLastError(), true));
                            if (flushed) ++traffic.answered;
                        }
                    }
                });
            }
            // Asynchronous calls.
            for (int t = 0; t < 2; ++t) {
                threads.emplace_back([&, t] {
                    for (int i = 0; running(); ++i) {
                        QueueColors(traffic, i * 2 + t);
                        std::this_thread::yield();
                    }
                });
            }
            // Key presses: registrations (again after each reconnect) and notifications.
            threads.emplace_back([&] {
                while (running()) {
                    const bool registered = VeltariRegisterKeypressCallback(CountKey, &traffic);
                    traffic.Expect(registered ? VeltariGetLastError() == VeltariErrorSuccess
                                              : VeltariGetLastError() == VeltariErrorServerUnreachable);
                    std::this_thread::sleep_for(std::chrono::milliseconds(2));
                }
            });
            threads.emplace_back([&] {
                for (int key = 0; running(); ++key) {
                    server.Notify(R"({"vendorKey":)" + std::to_string(key) + R"(,"pressed":true})");
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
            });
            // The server drops the client now and then; the client reconnects.
            threads.emplace_back([&] {
                while (running()) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(40));
                    server.Disconnect(server.SessionCount() - 1);
                    const VeltariProtocolDetails details = VeltariPerformProtocolHandshake();
                    traffic.Expect(details.serverVersion != nullptr ||
                                   VeltariGetLastError() == VeltariErrorServerUnreachable);
                }
            });
            for (auto& thread : threads) thread.join();

            // Quiet again: a fresh connection delivers keys, and every queued callback is called once.
            ASSERT_NE(VeltariPerformProtocolHandshake().serverVersion, nullptr);
            const int keysBefore = traffic.keys;
            ASSERT_TRUE(VeltariRegisterKeypressCallback(CountKey, &traffic));
            ASSERT_TRUE(server.Notify(R"({"vendorKey":1,"pressed":true})"));
            const auto deadline = Clock::now() + kEventDeadline;
            while ((traffic.keys == keysBefore || traffic.completed != traffic.queued) &&
                   Clock::now() < deadline) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            EXPECT_GT(traffic.keys, keysBefore);
            EXPECT_EQ(traffic.completed.load(), traffic.queued.load());
        },
        "mixed traffic with reconnects");

    EXPECT_EQ(traffic.wrongOutcomes.load(), 0);
    EXPECT_GT(traffic.queued.load(), 0);
    EXPECT_GT(server.SessionCount(), 2u) << "the run reconnected";
    UnloadClientState();
    EXPECT_EQ(traffic.completed.load(), traffic.queued.load()) << "nothing was called back after the count";
}

}  // namespace
}  // namespace sdk::testing
