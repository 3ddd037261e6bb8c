/*
 * breathe: the keyboard breathes in one colour for a few seconds.
 *
 *   breathe [SECONDS] [#RRGGBB]
 *
 * Shows the usual shape of a Veltari program: one handshake at the start, the LEDs from the server's
 * LED positions, one call per frame, and a new handshake whenever the server has gone away.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#ifdef _WIN32
#include <windows.h>
static void SleepMs(int ms) { Sleep((DWORD)ms); }
#else
static void SleepMs(int ms) {
    struct timespec ts = {ms / 1000, (long)(ms % 1000) * 1000000L};
    nanosleep(&ts, NULL);
}
#endif

#include <veltari.h>

/* Performs the handshake, trying once a second, for at most `attempts` seconds. */
static int Connect(int attempts) {
    for (int i = 0; i < attempts; ++i) {
        VeltariProtocolDetails details = VeltariPerformProtocolHandshake();
        if (details.serverVersion != NULL) {
            printf("connected: server %s (protocol %d), library %s\n", details.serverVersion,
                   details.serverProtocolVersion, details.sdkVersion);
            return 1;
        }
        SleepMs(1000);
    }
    return 0;
}

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? atoi(argv[1]) : 5;
    unsigned int rgb = 0x00A0FF;
    if (argc > 2 && (strlen(argv[2]) != 7 || argv[2][0] != '#' || sscanf(argv[2] + 1, "%6x", &rgb) != 1)) {
        fprintf(stderr, "breathe: the colour must be #RRGGBB, not '%s'\n", argv[2]);
        return 2;
    }
    if (!Connect(5)) {
        fprintf(stderr, "breathe: no lighting server is running\n");
        return 1;
    }

    /* Without a device, the server lists the LEDs it chooses (the reference server: every device's).
     * The record belongs to the library. */
    VeltariLedPositions* positions = VeltariGetLedPositions();
    if (positions == NULL || positions->positionsCount == 0) {
        fprintf(stderr, "breathe: the server lists no LEDs\n");
        return 1;
    }
    const int count = positions->positionsCount;
    VeltariLedColor* colors = calloc((size_t)count, sizeof *colors);
    if (colors == NULL) return 1;

    const int fps = 25;
    int shown = 0, reconnects = 0;
    for (int frame = 0; frame < seconds * fps; ++frame) {
        /* Up and down once every two seconds. */
        const double phase = (frame % (2 * fps)) / (2.0 * fps);
        const double level = 0.1 + 0.9 * (phase < 0.5 ? 2 * phase : 2 - 2 * phase);
        for (int i = 0; i < count; ++i) {
            colors[i].ledId = positions->positions[i].ledId;
            colors[i].r = (int)(((rgb >> 16) & 0xFF) * level);
            colors[i].g = (int)(((rgb >> 8) & 0xFF) * level);
            colors[i].b = (int)((rgb & 0xFF) * level);
        }
        if (VeltariSetLedsColors(count, colors)) {
            ++shown;
        } else if (VeltariGetLastError() == VeltariErrorServerUnreachable) {
            /* The library never reconnects by itself: a new handshake does. */
            printf("server lost at frame %d, performing the handshake again\n", frame);
            if (!Connect(10)) {
                fprintf(stderr, "breathe: the server did not come back\n");
                break;
            }
            ++reconnects;
        } else {
            fprintf(stderr, "breathe: the server refused the colours (error %d)\n", (int)VeltariGetLastError());
            break;
        }
        SleepMs(1000 / fps);
    }
    printf("%d frames shown on %d LEDs, %d reconnects\n", shown, count, reconnects);
    free(colors);
    return shown > 0 ? 0 : 1;
}
