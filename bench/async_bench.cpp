// What the calls that do not wait for the server cost their caller, next to the call that does.
#include <atomic>
#include <chrono>
#include <thread>

#include <benchmark/benchmark.h>

#include "environment.h"
#include "messages.h"
#include "ratio_table.h"
#include "suites.h"
#include "veltari.h"

namespace sdk::bench {
namespace {

std::atomic<std::uint64_t> completed{0};

void CountCompletion(void*, bool, VeltariError) {
    completed.fetch_add(1, std::memory_order_relaxed);
}

// Waits until every queued call's callback has run, so that the worker's traffic ends with the benchmark.
bool WaitForCompletions(std::uint64_t expected) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (completed.load(std::memory_order_relaxed) < expected) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

}  // namespace

bool SetAsyncAndSettle(int count, const VeltariLedColor* colors, int calls) {
    const std::uint64_t before = completed.load();
    for (int i = 0; i < calls; ++i) {
        if (!VeltariSetLedsColorsAsync(count, colors, &CountCompletion, nullptr)) return false;
    }
    return WaitForCompletions(before + static_cast<std::uint64_t>(calls));
}

void RegisterAsyncBenchmarks() {
    benchmark::RegisterBenchmark("async/set_colors_912/veltari", [](benchmark::State& state) {
        if (!LibraryConnected()) return state.SkipWithError("the library could not connect to the responder");
        Responder()->SetResponse(R"({"result":true,"errorCode":0})");
        const auto colors = FullKeyboardColors();
        // The first call starts the worker; that is not what a frame costs.
        if (!SetAsyncAndSettle(kFullKeyboard, colors.data(), 1)) return state.SkipWithError("no completion");
        const std::uint64_t before = completed.load();
        std::uint64_t calls = 0;
        for (auto _ : state) {
            if (!VeltariSetLedsColorsAsync(kFullKeyboard, colors.data(), &CountCompletion, nullptr)) {
                return state.SkipWithError("the call failed");
            }
            ++calls;
        }
        // After the timed loop: the worker's traffic must not spill into the next benchmark.
        if (!WaitForCompletions(before + calls)) state.SkipWithError("callbacks went missing");
    })->UseRealTime();
    const char* group =
        "Asynchronous: VeltariSetLedsColorsAsync on the caller's thread against the synchronous call";
    AddComparison({group, "set_colors_912, elapsed", "async/set_colors_912/veltari",
                   "e2e/set_colors_912/veltari", 0.05});
    AddComparison({group, "set_colors_912, processor time of the caller", "async/set_colors_912/veltari",
                   "e2e/set_colors_912/veltari", 0.0, false, true});
}

}  // namespace sdk::bench
