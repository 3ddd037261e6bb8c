// One request and its response through the library's own connection (RpcConnection over the real pipe
// streams, against the in-process responder), next to the raw framed round trip of the same bytes.
#include <memory>
#include <string>

#include <benchmark/benchmark.h>

#include "environment.h"
#include "exchanges.h"
#include "ratio_table.h"
#include "raw_pipe.h"
#include "suites.h"
#include "transport/bootstrap.h"

namespace sdk::bench {
namespace {

// Its own identity keeps this session apart from the library's when notifications are pushed.
IRpcConnection* Connection() {
    static std::unique_ptr<IRpcConnection> connection =
        Responder() != nullptr ? CreateRpcConnection(":bench-transport:") : nullptr;
    return connection.get();
}

void RegisterExchange(const Exchange& exchange) {
    const std::string call = std::string("transport/") + exchange.name + "/call";
    const std::string raw = std::string("transport/") + exchange.name + "/raw";
    benchmark::RegisterBenchmark(call.c_str(), [exchange](benchmark::State& state) {
        IRpcConnection* connection = Connection();
        if (connection == nullptr) return state.SkipWithError("no connection to the responder");
        Responder()->SetResponse(exchange.response);
        for (auto _ : state) {
            std::string response = connection->Call(exchange.request);
            if (response.empty()) return state.SkipWithError("the exchange failed");
            benchmark::DoNotOptimize(response.data());
        }
    })->UseRealTime();
    benchmark::RegisterBenchmark(raw.c_str(), [exchange](benchmark::State& state) {
        RawRoundTrip link(exchange.response);
        const Frame request = TextFrame(exchange.request);
        if (!link.Ok()) return state.SkipWithError("no socket pair");
        for (auto _ : state) {
            if (!link.Exchange(request)) return state.SkipWithError("the exchange failed");
        }
    })->UseRealTime();
    AddComparison({"Transport: RpcConnection::Call against the raw round trip", exchange.name, call, raw});
}

}  // namespace

void RegisterTransportBenchmarks() {
    for (const Exchange& exchange :
         {DeviceCountExchange(), SetColorsExchange(), GetColorsExchange(), FlushBufferExchange()}) {
        RegisterExchange(exchange);
    }
}

}  // namespace sdk::bench
