// The exported functions end to end, through the real pipes to the in-process responder, each next to the
// raw framed round trip of the very bytes the function exchanges.
#include <string>

#include <benchmark/benchmark.h>

#include "environment.h"
#include "exchanges.h"
#include "messages.h"
#include "ratio_table.h"
#include "raw_pipe.h"
#include "suites.h"
#include "veltari.h"

namespace sdk::bench {
namespace {

constexpr const char* kGroup = "End to end: exported function against the raw round trip of its bytes";

// Runs `call` once with the responder capturing, and tells whether it sent exactly `request`.
template <class Call>
bool SendsExactly(const std::string& request, Call& call) {
    Responder()->CaptureNextRequest();
    call();
    return Responder()->LastRequest() == request;
}

std::string Name(const Exchange& exchange, const char* side) {
    return std::string("e2e/") + exchange.name + "/" + side;
}

// Registers the library side with `call` (true on success), the raw side, and their comparison.
template <class Call>
void RegisterPair(const Exchange& exchange, double target, Call call) {
    benchmark::RegisterBenchmark(Name(exchange, "veltari").c_str(), [exchange,
                                                                     call](benchmark::State& state) mutable {
        if (!LibraryConnected()) return state.SkipWithError("the library could not connect to the responder");
        Responder()->SetResponse(exchange.response);
        if (!SendsExactly(exchange.request, call)) return state.SkipWithError("unexpected request text");
        for (auto _ : state) {
            if (!call()) return state.SkipWithError("the call failed");
        }
    })->UseRealTime();
    benchmark::RegisterBenchmark(Name(exchange, "raw").c_str(), [exchange](benchmark::State& state) {
        RawRoundTrip link(exchange.response);
        const Frame request = TextFrame(exchange.request);
        if (!link.Ok()) return state.SkipWithError("no socket pair");
        for (auto _ : state) {
            if (!link.Exchange(request)) return state.SkipWithError("the exchange failed");
        }
    })->UseRealTime();
    AddComparison({kGroup, exchange.name, Name(exchange, "veltari"), Name(exchange, "raw"), target});
}

// Fills the colour buffer of every device with a full keyboard, then times the flush alone.
void RegisterFlush() {
    const Exchange exchange = FlushBufferExchange();
    auto fill = [colors = FullKeyboardColors()] {
        for (int device = 0; device < kFlushDevices; ++device) {
            if (!VeltariSetLedsColorsBufferByDeviceIndex(device, kFullKeyboard, colors.data())) return false;
        }
        return true;
    };
    benchmark::RegisterBenchmark(Name(exchange, "veltari").c_str(), [exchange,
                                                                     fill](benchmark::State& state) {
        if (!LibraryConnected()) return state.SkipWithError("the library could not connect to the responder");
        Responder()->SetResponse(exchange.response);
        auto fillAndFlush = [&] { return fill() && VeltariSetLedsColorsFlushBuffer(); };
        if (!SendsExactly(exchange.request, fillAndFlush))
            return state.SkipWithError("unexpected request text");
        for (auto _ : state) {
            if (!fill()) return state.SkipWithError("buffering failed");
            const std::int64_t start = NowNanoseconds();
            const bool flushed = VeltariSetLedsColorsFlushBuffer();
            state.SetIterationTime(static_cast<double>(NowNanoseconds() - start) * 1e-9);
            if (!flushed) return state.SkipWithError("the flush failed");
        }
    })->UseManualTime();
    // The raw side fills the library's buffer just the same, untimed, so that each exchange starts after the
    // same pause and with the same caches: a responder that has waited longer is slower to wake. The colours
    // it leaves are replaced by the next fill before any flush.
    benchmark::RegisterBenchmark(Name(exchange, "raw").c_str(), [exchange, fill](benchmark::State& state) {
        if (!LibraryConnected()) return state.SkipWithError("the library could not connect to the responder");
        RawRoundTrip link(exchange.response);
        const Frame request = TextFrame(exchange.request);
        if (!link.Ok()) return state.SkipWithError("no socket pair");
        for (auto _ : state) {
            if (!fill()) return state.SkipWithError("buffering failed");
            const std::int64_t start = NowNanoseconds();
            const bool exchanged = link.Exchange(request);
            state.SetIterationTime(static_cast<double>(NowNanoseconds() - start) * 1e-9);
            if (!exchanged) return state.SkipWithError("the exchange failed");
        }
    })->UseManualTime();
    AddComparison(
        {kGroup, "flush of 912 LEDs on 4 devices", Name(exchange, "veltari"), Name(exchange, "raw"), 1.15});
}

}  // namespace

void RegisterEndToEndBenchmarks() {
    RegisterFlush();
    RegisterPair(DeviceCountExchange(), 1.15, [] { return VeltariGetDeviceCount() == 4; });
    RegisterPair(SetColorsExchange(), 1.25, [colors = FullKeyboardColors()] {
        return VeltariSetLedsColors(kFullKeyboard, colors.data());
    });
    RegisterPair(GetColorsExchange(), 1.25, [colors = FullKeyboardColors()]() mutable {
        // The answer carries the very colours asked with, so every call reads the same list.
        return VeltariGetLedsColors(kFullKeyboard, colors.data());
    });
}

}  // namespace sdk::bench
