// The demo's light show, computed from LED positions and time alone.
#pragma once

#include <vector>

#include "keyboard_view.h"

namespace demo {

// A ring that spreads from a pressed key.
struct Ripple {
    double x = 0;  // centre of the key, in the server's units
    double y = 0;
    double age = 0;  // seconds since the press
};

// Full-saturation colour of a hue in degrees, scaled by value (0 to 1).
Rgb Hue(double degrees, double value);

// A rainbow drifting across the device, with rings of white spreading from recent key presses.
class Wave {
public:
    explicit Wave(const std::vector<LedBox>& leds);

    // Seconds a ripple stays visible.
    static constexpr double kRippleLife = 1.5;

    std::vector<Rgb> Frame(double seconds, const std::vector<Ripple>& ripples) const;

private:
    const std::vector<LedBox>& leds_;
    double minX_ = 0, minY_ = 0, width_ = 1, height_ = 1;
};

// A rainbow running along a strip of n LEDs.
std::vector<Rgb> Chase(int n, double seconds);

}  // namespace demo
