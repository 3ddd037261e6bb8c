// A bounded soak, run by scripts/soak.sh rather than by the test command: many threads mix every exported
// function against the reference server, which is killed and restarted every few seconds; threads that
// lose the server reconnect with a handshake. A watchdog fails the run when any call, or any completion
// callback, exceeds its time-out by more than a second. Run under ThreadSanitizer for races and under
// AddressSanitizer with LeakSanitizer for leaks and for records that point at freed memory.
//   VELTARI_SOAK_SECONDS   how long (default 120)
#include <gtest/gtest.h>
#include <malloc.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "api/client_state.h"
#include "server_process.h"
#include "veltari.h"

namespace sdk::test {
namespace {

constexpr int kThreads = 6;
constexpr long long kWatchdogGraceMs = 1000;
// The longest a call may legitimately take: an exchange waits at most 5000 ms to write its request and
// 5000 ms to read the answer; a handshake may bootstrap and exchange twice; a completion comes after a
// pass of 10 ms and one exchange.
constexpr long long kCallLimitMs = 2 * 5000;
constexpr long long kHandshakeLimitMs = 2 * (2000 + 5000 + 5000) + 2 * kCallLimitMs;
constexpr long long kCompletionLimitMs = 10 + kCallLimitMs;

long long NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Bytes the allocator has handed out and not got back: the sanitizers' own count when one is linked in,
// else the C library's.
extern "C" std::size_t __sanitizer_get_current_allocated_bytes() __attribute__((weak));

long long HeapKilobytes() {
    if (__sanitizer_get_current_allocated_bytes != nullptr) {
        return static_cast<long long>(__sanitizer_get_current_allocated_bytes() / 1024);
    }
    const struct mallinfo2 info = ::mallinfo2();
    return static_cast<long long>((info.uordblks + info.hblkhd) / 1024);
}

long long ResidentKilobytes() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) return std::atoll(line.c_str() + 6);
    }
    return 0;
}

const char* const kOpNames[] = {"Handshake",       "GetDeviceCount",    "GetDeviceInfo",      "GetLedPositions",
                                "PositionsByIndex", "LedIdForKeyName",   "SetLedsColors",      "GetLedsColors",
                                "ColorsByIndex",    "BufferByIndex",     "FlushBuffer",        "SetAsync",
                                "FlushAsync",       "RequestControl",    "ReleaseControl",     "SetLayerPriority",
                                "BoolProperty",     "Int32Property",     "RegisterKeypress",   "GetLastError"};
constexpr int kOps = sizeof kOpNames / sizeof kOpNames[0];

struct Watch {
    std::atomic<long long> startMs{0};  // 0: not in a call
    std::atomic<long long> limitMs{0};
    std::atomic<int> op{-1};
};

struct Soak {
    std::atomic<bool> running{true};
    std::array<Watch, kThreads> watches;
    std::atomic<int> overdue{0};
    std::atomic<long long> longestMs{0};
    std::array<std::atomic<long long>, kOps> calls{};
    std::array<std::atomic<long long>, kOps> failures{};
    std::atomic<long long> reconnects{0};
    std::atomic<long long> keyPresses{0};
    std::atomic<long long> asyncAccepted{0};
    std::atomic<long long> asyncCompleted{0};
    std::atomic<long long> asyncOverdue{0};
    std::atomic<long long> longestCompletionMs{0};
    std::mutex recordsMutex;
    std::vector<const VeltariDeviceInfo*> infos;
    std::vector<const VeltariLedPositions*> positions;
    std::vector<const char*> versions;
    std::vector<int> ledIds;  // LEDs the server has, so that colour calls can succeed
};

Soak* gSoak = nullptr;

struct AsyncTicket {
    long long queuedMs;
};

void OnComplete(void* context, bool, VeltariError) {
    auto* ticket = static_cast<AsyncTicket*>(context);
    const long long took = NowMs() - ticket->queuedMs;
    if (took > kCompletionLimitMs + kWatchdogGraceMs) ++gSoak->asyncOverdue;
    long long longest = gSoak->longestCompletionMs;
    while (took > longest && !gSoak->longestCompletionMs.compare_exchange_weak(longest, took)) {
    }
    delete ticket;
    ++gSoak->asyncCompleted;
}

void OnKey(void*, VeltariKeyId, bool) {
    ++gSoak->keyPresses;
}

void ReadRecords(Soak& soak) {
    std::lock_guard<std::mutex> lock(soak.recordsMutex);
    volatile std::size_t sum = 0;
    for (const VeltariDeviceInfo* info : soak.infos) {
        sum = sum + std::strlen(info->model);
        for (int c = 0; c < info->channelsCount; ++c) {
            for (int d = 0; d < info->channels[c].devicesCount; ++d) sum = sum + info->channels[c].devices[d].type;
        }
    }
    for (const VeltariLedPositions* p : soak.positions) {
        for (int i = 0; i < p->positionsCount; ++i) sum = sum + p->positions[i].ledId;
    }
    for (const char* version : soak.versions) sum = sum + std::strlen(version);
}

// What the retention lists hold for the records handed out, counted from the records themselves.
struct RetainedBytes {
    long long bytes = 0;
};

RetainedBytes Retained(Soak& soak) {
    std::lock_guard<std::mutex> lock(soak.recordsMutex);
    RetainedBytes retained;
    for (const VeltariDeviceInfo* info : soak.infos) {
        retained.bytes += sizeof *info + std::strlen(info->model) + 1;
        for (int c = 0; c < info->channelsCount; ++c) {
            retained.bytes += sizeof(VeltariChannel) + info->channels[c].devicesCount * sizeof(VeltariChannelDevice);
        }
    }
    for (const VeltariLedPositions* p : soak.positions) {
        retained.bytes += sizeof *p + p->positionsCount * sizeof(VeltariLedPosition);
    }
    for (const char* version : soak.versions) retained.bytes += std::strlen(version) + 1;
    return retained;
}

void RunOp(Soak& soak, int op, std::mt19937& rng) {
    const int index = static_cast<int>(rng() % 4);
    // Four distinct LEDs of the server's, from four quarters of its list.
    VeltariLedColor colors[4];
    const std::size_t quarter = soak.ledIds.size() / 4;
    for (std::size_t i = 0; i < 4; ++i) {
        colors[i] = {soak.ledIds[i * quarter + rng() % quarter], 255, static_cast<int>(rng() % 256), 0};
    }
    bool ok = true;
    switch (op) {
        case 0: {
            const VeltariProtocolDetails details = VeltariPerformProtocolHandshake();
            ok = details.serverVersion != nullptr;
            if (ok) {
                std::lock_guard<std::mutex> lock(soak.recordsMutex);
                soak.versions.push_back(details.serverVersion);
            }
            break;
        }
        case 1: ok = VeltariGetDeviceCount() >= 0; break;
        case 2:
            if (const VeltariDeviceInfo* info = VeltariGetDeviceInfo(index)) {
                std::lock_guard<std::mutex> lock(soak.recordsMutex);
                soak.infos.push_back(info);
            } else {
                ok = false;
            }
            break;
        case 3:
        case 4:
            if (const VeltariLedPositions* p = op == 3 ? VeltariGetLedPositions() : VeltariGetLedPositionsByDeviceIndex(index)) {
                std::lock_guard<std::mutex> lock(soak.recordsMutex);
                soak.positions.push_back(p);
            } else {
                ok = false;
            }
            break;
        case 5: ok = VeltariGetLedIdForKeyName(static_cast<char>('A' + rng() % 26)) != 0; break;
        case 6: ok = VeltariSetLedsColors(4, colors); break;
        case 7: ok = VeltariGetLedsColors(4, colors); break;
        case 8: ok = VeltariGetLedsColorsByDeviceIndex(index, 4, colors); break;
        case 9: ok = VeltariSetLedsColorsBufferByDeviceIndex(index, 4, colors); break;
        case 10: ok = VeltariSetLedsColorsFlushBuffer(); break;
        case 11:
        case 12: {
            auto* ticket = new AsyncTicket{NowMs()};
            ok = op == 11 ? VeltariSetLedsColorsAsync(4, colors, OnComplete, ticket)
                          : VeltariSetLedsColorsFlushBufferAsync(OnComplete, ticket);
            if (ok) {
                ++soak.asyncAccepted;
            } else {
                delete ticket;
            }
            break;
        }
        case 13: ok = VeltariRequestControl(VeltariAccessModeLightingControl); break;
        case 14: ok = VeltariReleaseControl(VeltariAccessModeLightingControl); break;
        case 15: ok = VeltariSetLayerPriority(static_cast<int>(rng() % 256)); break;
        case 16: {
            bool value = false;
            ok = VeltariGetBoolPropertyValue(index, static_cast<VeltariDevicePropertyId>(0x1000 | (rng() % 4)), &value);
            break;
        }
        case 17: {
            int value = 0;
            ok = VeltariGetInt32PropertyValue(index, static_cast<VeltariDevicePropertyId>(0x2000 | (rng() % 4)), &value);
            break;
        }
        case 18: ok = VeltariRegisterKeypressCallback(OnKey, nullptr); break;
        case 19: VeltariGetLastError(); break;
    }
    ++soak.calls[op];
    if (!ok) ++soak.failures[op];
}

void Worker(Soak& soak, int id) {
    std::mt19937 rng(static_cast<unsigned>(id * 7919 + 1));
    Watch& watch = soak.watches[id];
    while (soak.running) {
        // Handshakes and registrations are rarer than the rest, as in an application.
        int op = static_cast<int>(rng() % (kOps + 20));
        if (op >= kOps) op = 1 + op % 18;
        if (op == 0 && rng() % 8 != 0) op = 19;
        watch.limitMs = op == 0 ? kHandshakeLimitMs : kCallLimitMs;
        watch.op = op;
        const long long start = NowMs();
        watch.startMs = start;
        RunOp(soak, op, rng);
        watch.startMs = 0;
        const long long took = NowMs() - start;
        long long longest = soak.longestMs;
        while (took > longest && !soak.longestMs.compare_exchange_weak(longest, took)) {
        }
        if (op != 0 && op != 19 && VeltariGetLastError() == VeltariErrorServerUnreachable) {
            // Lost the server: reconnect, and ask for key presses again on the new connection.
            watch.limitMs = kHandshakeLimitMs;
            watch.startMs = NowMs();
            if (VeltariPerformProtocolHandshake().serverVersion != nullptr) {
                ++soak.reconnects;
                VeltariRegisterKeypressCallback(OnKey, nullptr);
            }
            watch.startMs = 0;
        }
    }
}

void Watchdog(Soak& soak) {
    while (soak.running) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const long long now = NowMs();
        for (int i = 0; i < kThreads; ++i) {
            const long long start = soak.watches[i].startMs;
            if (start != 0 && now - start > soak.watches[i].limitMs + kWatchdogGraceMs) {
                std::fprintf(stderr, "watchdog: thread %d has been in %s for %lld ms\n", i,
                             kOpNames[soak.watches[i].op], now - start);
                ++soak.overdue;
                soak.running = false;
            }
        }
    }
}

TEST(Soak, DISABLED_ManyThreadsEveryFunctionRestartingServer) {
    const char* configured = std::getenv("VELTARI_SOAK_SECONDS");
    const int seconds = configured ? std::atoi(configured) : 120;
    Soak soak;
    gSoak = &soak;
    ServerProcess server({"--keys", "#4 #5 #6", "--keys-loop", "--key-interval", "20"});
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(VeltariRegisterKeypressCallback(OnKey, nullptr));
    const VeltariLedPositions* layout = VeltariGetLedPositions();
    ASSERT_NE(layout, nullptr);
    for (int i = 0; i < layout->positionsCount; ++i) soak.ledIds.push_back(layout->positions[i].ledId);
    ASSERT_GE(soak.ledIds.size(), 4u);
    const long long rssBefore = ResidentKilobytes();
    const long long heapBefore = HeapKilobytes();

    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) threads.emplace_back(Worker, std::ref(soak), i);
    std::thread watchdog(Watchdog, std::ref(soak));
    int restarts = 0;
    const long long end = NowMs() + seconds * 1000LL;
    while (soak.running && NowMs() < end) {
        std::this_thread::sleep_for(std::chrono::seconds(8));
        if (!soak.running || NowMs() >= end) break;
        server.Kill();
        ++restarts;
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        ASSERT_TRUE(server.Start()) << "the server did not come back";
    }
    soak.running = false;
    for (std::thread& t : threads) t.join();
    watchdog.join();
    // Every accepted asynchronous call completes exactly once, also those still queued at the end.
    EXPECT_TRUE(WaitUntil([&] { return soak.asyncCompleted == soak.asyncAccepted; }, 30000))
        << soak.asyncCompleted << " of " << soak.asyncAccepted << " completions";
    ReadRecords(soak);
    const long long rssAfter = ResidentKilobytes();
    const long long heapAfter = HeapKilobytes();
    const RetainedBytes retained = Retained(soak);
    server.Kill();
    // Unloading frees what was retained and joins every thread of the library; the sanitizers check both
    // when the process ends.
    UnloadClientState();
    LoadClientState();
    const long long heapUnloaded = HeapKilobytes();

    long long total = 0, failed = 0;
    std::printf("soak: %d s, %d threads, %d server restarts, %lld reconnecting handshakes\n", seconds, kThreads,
                restarts, soak.reconnects.load());
    for (int op = 0; op < kOps; ++op) {
        total += soak.calls[op];
        failed += soak.failures[op];
        std::printf("  %-18s %8lld calls %7lld failed\n", kOpNames[op], soak.calls[op].load(), soak.failures[op].load());
    }
    std::printf("soak: %lld calls (%lld failed while the server was away or refused), longest call %lld ms, "
                "%lld key presses, %lld/%lld asynchronous completions (longest %lld ms), %zu device records, "
                "%zu position records, "
                "resident memory %lld KiB -> %lld KiB; heap in use %lld KiB -> %lld KiB (records retained until "
                "unload: %lld KiB) -> %lld KiB after unload\n",
                total, failed, soak.longestMs.load(), soak.keyPresses.load(), soak.asyncCompleted.load(),
                soak.asyncAccepted.load(), soak.longestCompletionMs.load(), soak.infos.size(), soak.positions.size(), rssBefore, rssAfter,
                heapBefore, heapAfter, retained.bytes / 1024, heapUnloaded);
    EXPECT_EQ(soak.overdue, 0) << "a call exceeded its time-out by more than a second";
    EXPECT_EQ(soak.asyncOverdue, 0) << "a completion came later than its time-out allows";
    EXPECT_GT(restarts, 0);
    EXPECT_GT(soak.reconnects, 0);
    EXPECT_GT(total - failed, 1000) << "the soak hardly ever reached the server";
    gSoak = nullptr;
}

}  // namespace
}  // namespace sdk::test
