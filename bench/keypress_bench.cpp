// A key notification from the server's write to the entry of the application's callback, next to one
// raw frame from a write to the return of the reader's read.
#include <atomic>
#include <chrono>
#include <string>

#include <benchmark/benchmark.h>

#include "environment.h"
#include "ratio_table.h"
#include "raw_pipe.h"
#include "suites.h"
#include "veltari.h"

namespace sdk::bench {
namespace {

constexpr const char* kNotification = R"({"vendorKey":5,"pressed":true})";

std::atomic<std::uint64_t> calls{0};
std::atomic<std::int64_t> enteredAt{0};

void OnKey(void*, VeltariKeyId, bool) {
    enteredAt.store(NowNanoseconds(), std::memory_order_relaxed);
    calls.fetch_add(1, std::memory_order_release);
    calls.notify_one();
}

// One registration per connection: a new connection forgets the callbacks of the old one.
bool Registered() {
    static int registeredAt = -1;
    if (!LibraryConnected()) return false;
    if (registeredAt == LibraryHandshakes()) return true;
    Responder()->SetResponse(R"({"errorCode":0})");
    if (!VeltariRegisterKeypressCallback(&OnKey, nullptr)) return false;
    registeredAt = LibraryHandshakes();
    return true;
}

}  // namespace

void RegisterKeyPressBenchmarks() {
    benchmark::RegisterBenchmark("keypress/notification/veltari", [](benchmark::State& state) {
        if (!Registered()) return state.SkipWithError("the callback could not be registered");
        for (auto _ : state) {
            const std::uint64_t before = calls.load(std::memory_order_acquire);
            const std::int64_t start = NowNanoseconds();
            if (!Responder()->Notify(kNotification)) return state.SkipWithError("the notification failed");
            // Waits without counting: what counts is from the write to the callback's entry.
            calls.wait(before, std::memory_order_acquire);
            state.SetIterationTime(static_cast<double>(enteredAt.load(std::memory_order_relaxed) - start) *
                                   1e-9);
        }
    })->UseManualTime();
    benchmark::RegisterBenchmark("keypress/notification/raw", [](benchmark::State& state) {
        RawOneWay link;
        if (!link.Ok()) return state.SkipWithError("no socket pair");
        const Frame frame = TextFrame(kNotification);
        for (auto _ : state) {
            const auto elapsed = link.Send(frame);
            if (elapsed.count() < 0) return state.SkipWithError("the write failed");
            state.SetIterationTime(static_cast<double>(elapsed.count()) * 1e-9);
        }
    })->UseManualTime();
    benchmark::RegisterBenchmark("keypress/notification/raw_handed_off", [](benchmark::State& state) {
        RawOneWay link(true);
        if (!link.Ok()) return state.SkipWithError("no socket pair");
        const Frame frame = TextFrame(kNotification);
        for (auto _ : state) {
            const auto elapsed = link.Send(frame);
            if (elapsed.count() < 0) return state.SkipWithError("the write failed");
            state.SetIterationTime(static_cast<double>(elapsed.count()) * 1e-9);
        }
    })->UseManualTime();
    const char* group = "Key notifications: server write to callback entry against a raw one-way frame";
    AddComparison({group, "notification", "keypress/notification/veltari", "keypress/notification/raw", 1.5});
    AddComparison({group, "notification, against a raw frame handed from a reader to a second thread",
                   "keypress/notification/veltari", "keypress/notification/raw_handed_off"});
    AddComparison({group, "raw frame handed to a second thread, against the raw frame",
                   "keypress/notification/raw_handed_off", "keypress/notification/raw"});
}

}  // namespace sdk::bench
