// One time-out covers a whole payload, however the peer cuts it up: reading it in growing pieces must not
// start the wait again for each piece.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "pipe_test_util.h"

namespace sdk::test {
namespace {

Bytes LengthWordOf(std::uint32_t n) {
    return {static_cast<std::uint8_t>(n), static_cast<std::uint8_t>(n >> 8),
            static_cast<std::uint8_t>(n >> 16), static_cast<std::uint8_t>(n >> 24)};
}

TEST(FrameMemory, OneTimeOutCoversAPayloadThatArrivesInManyPieces) {
    PipeLink in = OpenInputLink();
    ASSERT_TRUE(in.server);
    constexpr std::size_t kPiece = 96 * 1024;
    constexpr int kPieces = 5;
    // Each piece comes well inside the time-out, all of them together well after it.
    auto peer = std::async(std::launch::async, [&] {
        in.server->WriteRaw(LengthWordOf(kPiece * kPieces), 1000);
        for (int i = 0; i < kPieces; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(120));
            if (in.server->WriteRaw(Bytes(kPiece, static_cast<std::uint8_t>(i)), 2000) != kResultOk) break;
        }
    });
    Bytes payload = {9};
    // Were the time-out to start again for each piece read, the whole payload would arrive in time.
    EXPECT_EQ(in.client->Read(payload, 300).status, IoStatus::kTimedOut);
    EXPECT_EQ(payload, Bytes{9});
    EXPECT_TRUE(in.client->IsBroken());
    in.server->Cancel();  // wakes the peer if it waits for room in the pipe
    peer.get();
}

TEST(FrameMemory, APayloadThatComesAfterItsLengthWordArrivesWhole) {
    PipeLink in = OpenInputLink();
    ASSERT_TRUE(in.server);
    // The reader takes the length word alone and waits with nothing of the payload in hand.
    auto peer = std::async(std::launch::async, [&] {
        in.server->WriteRaw(LengthWordOf(3), 1000);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        in.server->WriteRaw({'a', 'b', 'c'}, 1000);
    });
    Bytes payload;
    EXPECT_EQ(in.client->Read(payload, 5000).status, IoStatus::kOk);
    EXPECT_EQ(payload, (Bytes{'a', 'b', 'c'}));
    EXPECT_FALSE(in.client->IsBroken());
    peer.get();
}

TEST(FrameTimeOut, AWriteIntoAPeerThatStoppedReadingFailsWithinOneTimeOut) {
    PipeLink out = OpenOutputLink();
    ASSERT_TRUE(out.server);
    // Far more than the pipe holds: the length word goes at once, the payload stalls. The two halves
    // have one deadline each, so the write gives up one time-out after the payload started.
    const Bytes payload(8 * 1024 * 1024, 7);
    const Stopwatch watch;
    EXPECT_EQ(out.client->Write(payload, 1000).status, IoStatus::kTimedOut);
    RecordProperty("elapsedMs", static_cast<int>(watch.ElapsedMs()));
    EXPECT_LT(watch.ElapsedMs(), 1800);
    EXPECT_TRUE(out.client->IsBroken());
}

}  // namespace
}  // namespace sdk::test
