// keys: pressed letter keys light up red, released ones go dark, for a while or until Ctrl-C.
//
//   keys [SECONDS]
//
// Shows key-press callbacks and asynchronous sets from C++, and how to come back after the server has
// gone away: a new handshake, then the callback registered again (a reconnect discards callbacks).
#include <veltari.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace {

std::atomic<bool> stop{false};
std::atomic<int> events{0};
std::atomic<int> letterLeds[26];  // LED id of each letter key, 0 when unknown

void OnKey(void*, VeltariKeyId key, bool pressed) {
    ++events;
    std::printf("key %d %s\n", key, pressed ? "down" : "up");
    // The reference server reports letter keys by their upper-case character code.
    const int led = key >= 'A' && key <= 'Z' ? letterLeds[key - 'A'].load() : 0;
    if (led > 0) {
        // Never block the library's thread: queue the colour and let the library send it.
        const VeltariLedColor color{led, pressed ? 255 : 0, 0, 0};
        VeltariSetLedsColorsAsync(1, &color, nullptr, nullptr);
    }
}

bool Connect() {
    const VeltariProtocolDetails details = VeltariPerformProtocolHandshake();
    if (details.serverVersion == nullptr) return false;
    for (char letter = 'A'; letter <= 'Z'; ++letter) letterLeds[letter - 'A'] = VeltariGetLedIdForKeyName(letter);
    if (!VeltariRegisterKeypressCallback(&OnKey, nullptr)) {
        std::fprintf(stderr, "keys: the server does not send key presses (error %d)\n", VeltariGetLastError());
        return false;
    }
    std::printf("connected to %s; press keys\n", details.serverVersion);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 0;
    std::signal(SIGINT, [](int) { stop = true; });
    if (!Connect()) {
        std::fprintf(stderr, "keys: no lighting server is running\n");
        return 1;
    }
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!stop && (seconds == 0 || std::chrono::steady_clock::now() < end)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        // Key events only arrive; a cheap request tells whether the server is still there.
        if (VeltariGetDeviceCount() < 0 && VeltariGetLastError() == VeltariErrorServerUnreachable) {
            std::printf("server lost, performing the handshake again\n");
            while (!stop && !Connect()) std::this_thread::sleep_for(std::chrono::seconds(1));
        }
    }
    std::printf("%d key events\n", events.load());
    return 0;
}
