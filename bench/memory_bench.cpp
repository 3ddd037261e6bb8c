// Memory over long loops of calls: what 100,000 calls leave behind on the heap and in the resident set.
// The calls that keep what they return until unload are asked with an unchanged answer, as a frame loop
// would: they must give back the record already kept and stay flat too.
#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "environment.h"
#include "exchanges.h"
#include "heap_counter.h"
#include "messages.h"
#include "ratio_table.h"
#include "suites.h"
#include "veltari.h"

namespace sdk::bench {
namespace {

constexpr int kLoopCalls = 100000;
constexpr const char* kFlatGroup =
    "Memory: growth over 100,000 calls (flat means nothing kept, nothing leaked)";

struct MemoryLoop {
    std::string name;
    std::string title;
    std::string response;    // the responder's answer during the loop
    int calls = kLoopCalls;  // steps of the loop
    int callsPerStep = 1;
    std::function<bool()> call;
    std::function<bool()> settle;  // waits until work the calls left for other threads is done
    double allocationLimit = 0.0;  // most allocations a call may make; 0: no target
};

void Register(const MemoryLoop& loop) {
    const std::string name = "memory/" + loop.name;
    benchmark::RegisterBenchmark(
        name.c_str(),
        [loop](benchmark::State& state) {
            if (!LibraryConnected())
                return state.SkipWithError("the library could not connect to the responder");
            Responder()->SetResponse(loop.response);
            // Warm-up: caches, buffers and threads that the first calls create are not growth.
            for (int i = 0; i < std::min(1000, loop.calls / 10); ++i) {
                if (!loop.call()) return state.SkipWithError("the call failed");
            }
            if (loop.settle && !loop.settle()) return state.SkipWithError("the calls did not settle");
            for (auto _ : state) {
                const std::int64_t residentBefore = ResidentBytes();
                HeapCount count;
                for (int i = 0; i < loop.calls; ++i) {
                    if (!loop.call()) return state.SkipWithError("the call failed");
                }
                if (loop.settle && !loop.settle()) return state.SkipWithError("the calls did not settle");
                state.counters["heap_growth_bytes"] = static_cast<double>(count.LiveBytes());
                state.counters["heap_growth_per_call"] =
                    static_cast<double>(count.LiveBytes()) / (loop.calls * loop.callsPerStep);
                state.counters["allocations_per_call"] =
                    static_cast<double>(count.Allocations()) / (loop.calls * loop.callsPerStep);
                state.counters["resident_growth_kib"] =
                    static_cast<double>(ResidentBytes() - residentBefore) / 1024.0;
            }
        })
        ->Iterations(1)
        ->Repetitions(1)
        ->Unit(benchmark::kMillisecond);
    // Flat: less than one byte per call over the loop, whatever the heap's own bookkeeping does.
    AddFigure({kFlatGroup, loop.title + ": heap growth", name, "heap_growth_bytes", "bytes",
               static_cast<double>(loop.calls * loop.callsPerStep), true});
    AddFigure({kFlatGroup, loop.title + ": resident set growth", name, "resident_growth_kib", "KiB"});
    AddFigure({kFlatGroup, loop.title + ": allocations per call", name, "allocations_per_call", "",
               loop.allocationLimit, loop.allocationLimit > 0});
}

}  // namespace

void RegisterMemoryBenchmarks() {
    const auto colors = std::make_shared<std::vector<VeltariLedColor>>(FullKeyboardColors());
    const char* setAnswer = R"({"result":true,"errorCode":0})";
    Register({"device_count_100k", "100,000 x VeltariGetDeviceCount", R"({"result":4,"errorCode":0})",
              kLoopCalls, 1, [] { return VeltariGetDeviceCount() == 4; }, nullptr, 3});
    Register({"set_colors_912_100k", "100,000 x VeltariSetLedsColors (912 LEDs)", setAnswer, kLoopCalls, 1,
              [colors] { return VeltariSetLedsColors(kFullKeyboard, colors->data()); }, nullptr, 3});
    // Queued in bursts of a thousand, each burst settled, as a frame loop that outpaces the worker would.
    Register({"set_colors_async_912_100k", "100,000 x VeltariSetLedsColorsAsync (912 LEDs)", setAnswer,
              kLoopCalls / 1000, 1000,
              [colors] { return SetAsyncAndSettle(kFullKeyboard, colors->data(), 1000); }, nullptr});
    // A frame of a program that buffers whole keyboards and flushes them.
    Register({"buffer_flush_4x912_10k", "10,000 x four 912-LED buffers and a flush", setAnswer,
              kLoopCalls / 10, 1,
              [colors] {
                  for (int device = 0; device < kFlushDevices; ++device) {
                      if (!VeltariSetLedsColorsBufferByDeviceIndex(device, kFullKeyboard, colors->data()))
                          return false;
                  }
                  return VeltariSetLedsColorsFlushBuffer();
              },
              nullptr});
    Register({"device_info_100k", "100,000 x VeltariGetDeviceInfo (3 channels of 4 devices)",
              DeviceInfoResponse(), kLoopCalls, 1, [] { return VeltariGetDeviceInfo(0) != nullptr; },
              nullptr});
    Register({"led_positions_912_100k", "100,000 x VeltariGetLedPositions (912 LEDs)", LedPositionsResponse(),
              kLoopCalls, 1, [] { return VeltariGetLedPositions() != nullptr; }, nullptr, 10});
    Register({"led_positions_by_device_912_100k", "100,000 x VeltariGetLedPositionsByDeviceIndex (912 LEDs)",
              LedPositionsResponse(), kLoopCalls, 1,
              [] { return VeltariGetLedPositionsByDeviceIndex(0) != nullptr; }, nullptr, 10});
}

}  // namespace sdk::bench
