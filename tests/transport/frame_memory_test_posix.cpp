// What a peer can make a reader hold: the payload buffer follows the bytes that arrive, not the length
// the peer announces, and one time-out covers the whole payload however it is cut up.
#include <gtest/gtest.h>
#include <malloc.h>

#include <chrono>
#include <future>
#include <thread>

#include "pipe_test_util.h"

namespace sdk::test {
namespace {

Bytes LengthWord(std::uint32_t n) {
    return {static_cast<std::uint8_t>(n), static_cast<std::uint8_t>(n >> 8),
            static_cast<std::uint8_t>(n >> 16), static_cast<std::uint8_t>(n >> 24)};
}

long long HeapInUse() {
    const struct mallinfo2 info = ::mallinfo2();
    return static_cast<long long>(info.uordblks + info.hblkhd);
}

TEST(FrameMemory, ALengthWordAloneDoesNotReserveTheAnnouncedPayload) {
    if (HeapInUse() == 0) GTEST_SKIP() << "the allocator in use does not report its heap";
    PipeLink in = OpenInputLink();
    ASSERT_TRUE(in.server);
    ASSERT_EQ(in.server->WriteRaw(LengthWord(kMaxFramePayload), 1000), kResultOk);
    ASSERT_EQ(in.server->WriteRaw(Bytes(100, 'x'), 1000), kResultOk);

    const long long before = HeapInUse();
    auto reader = std::async(std::launch::async, [&] {
        Bytes payload;
        return in.client->Read(payload, 0);
    });
    // Look at the heap while the reader waits for the rest of the payload, then let it go.
    long long peak = before;
    for (int i = 0; i < 20; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        peak = std::max(peak, HeapInUse());
    }
    in.server->Close();
    EXPECT_EQ(reader.get(), kErrorBrokenPipe);
    EXPECT_TRUE(in.client->IsBroken());
    EXPECT_LT(peak - before, static_cast<long long>(kMaxFramePayload) / 4)
        << "a reader waiting for a payload of " << kMaxFramePayload << " bytes held " << (peak - before);
}

TEST(FrameMemory, OneTimeOutCoversAPayloadThatArrivesInManyPieces) {
    PipeLink in = OpenInputLink();
    ASSERT_TRUE(in.server);
    constexpr std::size_t kPiece = 96 * 1024;
    constexpr int kPieces = 5;
    // Each piece comes well inside the time-out, all of them together well after it.
    auto peer = std::async(std::launch::async, [&] {
        in.server->WriteRaw(LengthWord(kPiece * kPieces), 1000);
        for (int i = 0; i < kPieces; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(120));
            if (in.server->WriteRaw(Bytes(kPiece, static_cast<std::uint8_t>(i)), 2000) != kResultOk) break;
        }
    });
    Bytes payload = {9};
    // Were the time-out to start again for each piece read, the whole payload would arrive in time.
    EXPECT_EQ(in.client->Read(payload, 300), kErrorIoPending);
    EXPECT_EQ(payload, Bytes{9});
    EXPECT_TRUE(in.client->IsBroken());
    in.server->Cancel();  // wakes the peer if it waits for room in the pipe
    peer.get();
}

}  // namespace
}  // namespace sdk::test
