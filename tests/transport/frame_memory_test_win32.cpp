// What a peer can make a reader hold: the payload buffer follows the bytes that arrive, not the length
// the peer announces.
#define PSAPI_VERSION 2
#include <windows.h>
// psapi.h needs windows.h first.
#include <psapi.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <thread>

#include "pipe_test_util.h"

namespace sdk::test {
namespace {

long long PrivateBytes() {
    PROCESS_MEMORY_COUNTERS_EX counters{};
    counters.cb = sizeof counters;
    if (!GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                              sizeof counters)) {
        return 0;
    }
    return static_cast<long long>(counters.PrivateUsage);
}

TEST(FrameMemoryWin32, ALengthWordAloneDoesNotReserveTheAnnouncedPayload) {
    if (PrivateBytes() == 0) GTEST_SKIP() << "the system does not report private memory";
    PipeLink in = OpenInputLink();
    ASSERT_TRUE(in.server);
    const std::uint32_t n = kMaxFramePayload;
    ASSERT_EQ(in.server->WriteRaw({static_cast<std::uint8_t>(n), static_cast<std::uint8_t>(n >> 8),
                                   static_cast<std::uint8_t>(n >> 16), static_cast<std::uint8_t>(n >> 24)},
                                  1000),
              kResultOk);
    ASSERT_EQ(in.server->WriteRaw(Bytes(100, 'x'), 1000), kResultOk);

    const long long before = PrivateBytes();
    auto reader = std::async(std::launch::async, [&] {
        Bytes payload;
        return in.client->Read(payload, 0).status;
    });
    long long peak = before;
    for (int i = 0; i < 20; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        peak = std::max(peak, PrivateBytes());
    }
    in.server->Close();
    EXPECT_NE(reader.get(), IoStatus::kOk);
    EXPECT_TRUE(in.client->IsBroken());
    EXPECT_LT(peak - before, static_cast<long long>(kMaxFramePayload) / 4)
        << "a reader waiting for a payload of " << kMaxFramePayload << " bytes held " << (peak - before);
}

}  // namespace
}  // namespace sdk::test
