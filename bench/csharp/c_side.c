/* The C side of the C# binding's benchmark: the same 912-LED VeltariSetLedsColors that the binding makes,
 * called from C in a loop, in the benchmark's own process and over its one connection. */
#include <time.h>

#include "veltari.h"

#if defined(_WIN32)
#define BENCH_EXPORT __declspec(dllexport)
#else
#define BENCH_EXPORT __attribute__((visibility("default")))
#endif

static double NowNanoseconds(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (double)now.tv_sec * 1e9 + (double)now.tv_nsec;
}

/* Sets LEDs 0 to 911 `iterations` times; the mean time of one call in nanoseconds, or -1 on a failure. */
BENCH_EXPORT double VeltariBenchSetColors912(int iterations) {
    static VeltariLedColor colors[912];
    for (int i = 0; i < 912; ++i) {
        colors[i] = (VeltariLedColor){i, i % 256, (i * 7) % 256, 255 - i % 256};
    }
    const double start = NowNanoseconds();
    for (int i = 0; i < iterations; ++i) {
        if (!VeltariSetLedsColors(912, colors)) return -1;
    }
    return (NowNanoseconds() - start) / iterations;
}
