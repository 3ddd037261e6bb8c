#include "effects.h"

#include <algorithm>
#include <cmath>

namespace demo {

Rgb Hue(double degrees, double value) {
    double h = std::fmod(degrees, 360.0);
    if (h < 0) h += 360.0;
    const double x = 1 - std::fabs(std::fmod(h / 60.0, 2.0) - 1);
    double r = 0, g = 0, b = 0;
    switch (static_cast<int>(h / 60.0)) {
        case 0: r = 1, g = x; break;
        case 1: r = x, g = 1; break;
        case 2: g = 1, b = x; break;
        case 3: g = x, b = 1; break;
        case 4: r = x, b = 1; break;
        default: r = 1, b = x; break;
    }
    auto level = [value](double c) { return std::clamp(static_cast<int>(std::lround(c * value * 255)), 0, 255); };
    return {level(r), level(g), level(b)};
}

Wave::Wave(const std::vector<LedBox>& leds) : leds_(leds) {
    if (leds.empty()) return;
    double maxX = leds[0].left + leds[0].width, maxY = leds[0].top + leds[0].height;
    minX_ = leds[0].left;
    minY_ = leds[0].top;
    for (const auto& led : leds) {
        minX_ = std::min(minX_, led.left);
        minY_ = std::min(minY_, led.top);
        maxX = std::max(maxX, led.left + led.width);
        maxY = std::max(maxY, led.top + led.height);
    }
    width_ = std::max(maxX - minX_, 1.0);
    height_ = std::max(maxY - minY_, 1.0);
}

std::vector<Rgb> Wave::Frame(double seconds, const std::vector<Ripple>& ripples) const {
    std::vector<Rgb> colors;
    colors.reserve(leds_.size());
    // Rings spread at about ten keys a second and stay a key wide, whatever the device's size.
    const double speed = std::max(width_, height_) / 2.5;
    const double ringWidth = std::max(width_, height_) / 30;
    for (const auto& led : leds_) {
        const double cx = led.left + led.width / 2, cy = led.top + led.height / 2;
        const double hue = 300.0 * (cx - minX_) / width_ + 60.0 * (cy - minY_) / height_ - seconds * 90.0;
        Rgb base = Hue(hue, 0.6);
        double glow = 0;
        for (const auto& ripple : ripples) {
            if (ripple.age < 0 || ripple.age > kRippleLife) continue;
            const double distance = std::hypot(cx - ripple.x, cy - ripple.y);
            const double off = (distance - ripple.age * speed) / ringWidth;
            glow = std::max(glow, std::exp(-off * off) * (1 - ripple.age / kRippleLife));
        }
        glow = std::min(glow, 1.0);
        auto mix = [glow](int c) { return static_cast<int>(std::lround(c + (255 - c) * glow)); };
        colors.push_back({mix(base.r), mix(base.g), mix(base.b)});
    }
    return colors;
}

std::vector<Rgb> Chase(int n, double seconds) {
    std::vector<Rgb> colors;
    for (int i = 0; i < n; ++i) colors.push_back(Hue(seconds * 120.0 + 360.0 * i / std::max(n, 1), 0.8));
    return colors;
}

}  // namespace demo
