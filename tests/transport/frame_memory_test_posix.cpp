// What a peer can make a reader hold: the payload buffer follows the bytes that arrive, not the length
// the peer announces.
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
        return in.client->Read(payload, 0).status;
    });
    // Look at the heap while the reader waits for the rest of the payload, then let it go.
    long long peak = before;
    for (int i = 0; i < 20; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        peak = std::max(peak, HeapInUse());
    }
    in.server->Close();
    EXPECT_EQ(reader.get(), IoStatus::kClosed);
    EXPECT_TRUE(in.client->IsBroken());
    EXPECT_LT(peak - before, static_cast<long long>(kMaxFramePayload) / 4)
        << "a reader waiting for a payload of " << kMaxFramePayload << " bytes held " << (peak - before);
}

}  // namespace
}  // namespace sdk::test
