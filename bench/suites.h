// Each benchmark source registers its benchmarks and the comparisons that belong to them.
#pragma once

namespace sdk::bench {

void RegisterJsonBenchmarks();
void RegisterLedColorListBenchmarks();
void RegisterTransportBenchmarks();
void RegisterEndToEndBenchmarks();
void RegisterMemoryBenchmarks();

}  // namespace sdk::bench
