// Each benchmark source registers its benchmarks and the comparisons that belong to them.
#pragma once

#include "veltari.h"

namespace sdk::bench {

void RegisterJsonBenchmarks();
void RegisterLedColorListBenchmarks();
void RegisterTransportBenchmarks();
void RegisterEndToEndBenchmarks();
void RegisterMemoryBenchmarks();
void RegisterAsyncBenchmarks();
void RegisterKeyPressBenchmarks();

// Queues `calls` asynchronous sets and waits until all their callbacks have run; false on a refused call
// or a callback that never came.
bool SetAsyncAndSettle(int count, const VeltariLedColor* colors, int calls);

}  // namespace sdk::bench
