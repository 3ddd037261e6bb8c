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

}  // namespace

void RegisterEndToEndBenchmarks() {
    RegisterPair(DeviceCountExchange(), 1.15, [] { return VeltariGetDeviceCount() == 4; });
    RegisterPair(SetColorsExchange(), 1.25, [colors = FullKeyboardColors()] {
        return VeltariSetLedsColors(kFullKeyboard, colors.data());
    });
    RegisterPair(GetColorsExchange(), 0.0, [colors = FullKeyboardColors()]() mutable {
        // The answer carries the very colours asked with, so every call reads the same list.
        return VeltariGetLedsColors(kFullKeyboard, colors.data());
    });
}

}  // namespace sdk::bench
