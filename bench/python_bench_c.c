/*
 * The C side of bench/python_bench.py: VeltariSetLedsColors with 912 LEDs, the same colours as the
 * Python side sends, through the shared library. After the handshake it prints "connected"; then for
 * each line N on standard input it makes N calls and prints the median time of one call in nanoseconds.
 */
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include <veltari.h>

enum { kLeds = 912 };

static long long NowNs(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

static int Compare(const void* a, const void* b) {
    const long long x = *(const long long*)a, y = *(const long long*)b;
    return (x > y) - (x < y);
}

int main(void) {
    static VeltariLedColor colors[kLeds];
    for (int i = 0; i < kLeds; ++i) {
        colors[i] = (VeltariLedColor){i, (i * 37) % 256, (i * 91) % 256, (255 - i) & 255};
    }
    if (VeltariPerformProtocolHandshake().serverVersion == NULL) {
        fprintf(stderr, "python_bench_c: no responder\n");
        return 1;
    }
    printf("connected\n");
    fflush(stdout);
    int n;
    while (scanf("%d", &n) == 1 && n > 0) {
        long long* times = malloc(sizeof *times * (size_t)n);
        if (times == NULL) return 1;
        for (int i = 0; i < n; ++i) {
            const long long start = NowNs();
            if (!VeltariSetLedsColors(kLeds, colors)) {
                fprintf(stderr, "python_bench_c: the set failed with error %d\n", (int)VeltariGetLastError());
                return 1;
            }
            times[i] = NowNs() - start;
        }
        qsort(times, (size_t)n, sizeof *times, Compare);
        printf("%lld\n", times[n / 2]);
        fflush(stdout);
        free(times);
    }
    return 0;
}
