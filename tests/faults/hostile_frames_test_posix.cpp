// A server that answers with garbage, cut frames, empty frames and frames above the cap, and one that
// floods notifications while a callback is slow. Each bad answer costs at most the call it answers;
// the connection is given up only when the byte stream can no longer be trusted, and the next
// handshake recovers.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "api/client_state.h"
#include "hostile_server.h"
#include "server_process.h"
#include "veltari.h"

namespace sdk::test {
namespace {

constexpr long long kExchangeMs = 5000;
constexpr long long kSlackMs = 3000;

class HostileFrames : public ::testing::Test {
protected:
    void SetUp() override {
        UnloadClientState();
        LoadClientState();
        // A sanitizer's runtime starts a thread of its own with the first thread; let that happen first.
        std::thread([] {}).join();
        threadsBefore_ = ThreadCount();
        ASSERT_TRUE(server_.Start());
        ASSERT_NE(VeltariPerformProtocolHandshake().serverVersion, nullptr);
    }
    void TearDown() override {
        UnloadClientState();
        LoadClientState();
        server_.Stop();
        // No thread of the library (or of the server) is left waiting on a pipe that went bad.
        EXPECT_TRUE(WaitUntil([&] { return ThreadCount() <= threadsBefore_; }))
            << ThreadCount() << " threads, " << threadsBefore_ << " before";
    }

    // The call after a bad answer: the connection either survived or a handshake brings it back.
    void ExpectRecovers(bool connectionSurvives) {
        const int count = VeltariGetDeviceCount();
        if (connectionSurvives) {
            EXPECT_EQ(VeltariGetLastError(), VeltariErrorSuccess) << "a bad answer cost more than its call";
            return;
        }
        EXPECT_EQ(count, -1);
        EXPECT_EQ(VeltariGetLastError(), VeltariErrorServerUnreachable);
        const std::size_t sessions = server_.Sessions();
        EXPECT_NE(VeltariPerformProtocolHandshake().serverVersion, nullptr);
        EXPECT_EQ(server_.Sessions(), sessions + 1);
        VeltariGetDeviceCount();
        EXPECT_EQ(VeltariGetLastError(), VeltariErrorSuccess);
    }

    HostileServer server_;
    int threadsBefore_ = 0;
};

TEST_F(HostileFrames, GarbageReadsAsAnAnswerWithoutMembers) {
    for (const std::string& garbage : {std::string("\x01\xff\x80 not json"), std::string(100000, '['),
                                       std::string("{\"result\":") + std::string(50000, '{')}) {
        server_.Next(HostileAction::Frame(garbage));
        EXPECT_EQ(VeltariGetDeviceCount(), 0);
        EXPECT_EQ(VeltariGetLastError(), VeltariErrorSuccess);
        ExpectRecovers(true);
    }
}

TEST_F(HostileFrames, AZeroLengthFrameIsNoAnswerButKeepsTheConnection) {
    server_.Next(HostileAction::Frame("", false));
    Elapsed elapsed;
    EXPECT_EQ(VeltariGetDeviceInfo(0), nullptr);
    EXPECT_EQ(VeltariGetLastError(), VeltariErrorServerUnreachable);
    EXPECT_LT(elapsed.Ms(), kSlackMs);
    ExpectRecovers(true);
}

TEST_F(HostileFrames, AFrameAboveTheCapGivesTheConnectionUp) {
    server_.Next(HostileAction::Raw(HostileServer::LengthWord(kMaxFramePayload + 1)));
    Elapsed elapsed;
    EXPECT_EQ(VeltariGetLedPositions(), nullptr);
    EXPECT_EQ(VeltariGetLastError(), VeltariErrorServerUnreachable);
    EXPECT_LT(elapsed.Ms(), kSlackMs);
    ExpectRecovers(false);
}

TEST_F(HostileFrames, AFrameCutShortByAClosedPipeFailsAtOnce) {
    for (std::size_t cut : {2u, 10u}) {  // inside the length word, inside the payload
        Bytes frame = HostileServer::LengthWord(100);
        frame.resize(cut, 'x');
        server_.Next(HostileAction::RawThenClose(frame));
        Elapsed elapsed;
        EXPECT_EQ(VeltariGetDeviceCount(), -1);
        EXPECT_EQ(VeltariGetLastError(), VeltariErrorServerUnreachable);
        EXPECT_LT(elapsed.Ms(), kSlackMs);
        ExpectRecovers(false);
    }
}

TEST_F(HostileFrames, AFrameCutShortByASilentServerTimesOut) {
    Bytes frame = HostileServer::LengthWord(100);
    frame.resize(10, 'x');
    server_.Next(HostileAction::Raw(frame));
    Elapsed elapsed;
    const VeltariLedColor green = {3, 0, 255, 0};
    EXPECT_FALSE(VeltariSetLedsColors(1, &green));
    EXPECT_EQ(VeltariGetLastError(), VeltariErrorServerUnreachable);
    EXPECT_GE(elapsed.Ms(), kExchangeMs - 500);
    EXPECT_LT(elapsed.Ms(), kExchangeMs + kSlackMs);
    // The rest of that frame arriving late must not be read as the answer to anything.
    ExpectRecovers(false);
}

TEST_F(HostileFrames, AHandshakeAnsweredWithGarbageStillCounts) {
    server_.Next(HostileAction::Frame("\x7f garbage"));
    const VeltariProtocolDetails details = VeltariPerformProtocolHandshake();
    ASSERT_NE(details.serverVersion, nullptr);
    EXPECT_STREQ(details.serverVersion, "");
    EXPECT_EQ(details.serverProtocolVersion, 0);
    EXPECT_EQ(VeltariGetLastError(), VeltariErrorSuccess);
}

long long ResidentKilobytes() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) return std::atoll(line.c_str() + 6);
    }
    return 0;
}

struct SlowKeys {
    std::mutex mutex;
    std::vector<int> keys;
    std::atomic<bool> slow{true};
};

void SlowCallback(void* context, VeltariKeyId key, bool) {
    auto* log = static_cast<SlowKeys*>(context);
    if (log->slow) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::lock_guard<std::mutex> lock(log->mutex);
    log->keys.push_back(key);
}

// Notifications wait in a queue while a callback is slow; 20 000 short ones stay under the queue's 1 MiB
// bound. This measures the memory the queue takes, and shows that every one is delivered, in order, once
// the callback catches up.
TEST_F(HostileFrames, NotificationFloodWhileACallbackIsSlow) {
    SlowKeys log;
    ASSERT_TRUE(VeltariRegisterKeypressCallback(SlowCallback, &log));
    constexpr int kFlood = 20000;
    const long long before = ResidentKilobytes();
    long long peak = before;
    Elapsed elapsed;
    for (int i = 0; i < kFlood; ++i) {
        const std::string text = "{\"vendorKey\":" + std::to_string(i) + ",\"pressed\":true}";
        Bytes payload(text.begin(), text.end());
        payload.push_back(0);
        ASSERT_TRUE(server_.Notify(payload)) << i;
        if (i % 1000 == 0) peak = std::max(peak, ResidentKilobytes());
    }
    const long long sentMs = elapsed.Ms();
    peak = std::max(peak, ResidentKilobytes());
    std::size_t deliveredWhileSlow = 0;
    {
        std::lock_guard<std::mutex> lock(log.mutex);
        deliveredWhileSlow = log.keys.size();
    }
    log.slow = false;
    ASSERT_TRUE(WaitUntil([&] {
        std::lock_guard<std::mutex> lock(log.mutex);
        return log.keys.size() >= kFlood;
    }, 60000));
    std::lock_guard<std::mutex> lock(log.mutex);
    ASSERT_EQ(log.keys.size(), static_cast<std::size_t>(kFlood));
    for (int i = 0; i < kFlood; ++i) ASSERT_EQ(log.keys[i], i) << "notifications lost or out of order";

    const long long queued = kFlood - static_cast<long long>(deliveredWhileSlow);
    const long long grewKb = peak - before;
    std::printf("notification flood: %d sent in %lld ms, %lld queued behind a slow callback, resident memory "
                "grew by %lld KiB (%lld bytes per queued notification)\n",
                kFlood, sentMs, queued, grewKb, queued > 0 ? grewKb * 1024 / queued : 0);
    RecordProperty("queued", static_cast<int>(queued));
    RecordProperty("grew_kib", static_cast<int>(grewKb));
}

}  // namespace
}  // namespace sdk::test
