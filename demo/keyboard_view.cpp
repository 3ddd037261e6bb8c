#include "keyboard_view.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace demo {

KeyboardView::KeyboardView(std::vector<LedBox> leds, int columns) : leds_(std::move(leds)) {
    if (leds_.empty()) return;
    double minX = leds_[0].left, maxX = leds_[0].left + leds_[0].width;
    double minY = leds_[0].top, maxY = leds_[0].top + leds_[0].height;
    std::vector<double> heights;
    for (const auto& led : leds_) {
        minX = std::min(minX, led.left);
        maxX = std::max(maxX, led.left + led.width);
        minY = std::min(minY, led.top);
        maxY = std::max(maxY, led.top + led.height);
        if (led.height > 0) heights.push_back(led.height);
    }
    const double widthMm = std::max(maxX - minX, 1.0);
    // A cell is about twice as tall as wide; keys should not grow past about five cells across.
    const double mmPerColumn = std::max(widthMm / std::max(columns - 1, 10), 4.0);
    double mmPerRow = mmPerColumn * 2;
    if (!heights.empty()) {
        // Whole rows per typical key, so that the rows of keys line up with rows of text.
        std::nth_element(heights.begin(), heights.begin() + heights.size() / 2, heights.end());
        const double keyHeight = heights[heights.size() / 2];
        const double rowsPerKey = std::max(1.0, std::round(keyHeight / mmPerRow));
        mmPerRow = keyHeight / rowsPerKey;
    }
    columns_ = static_cast<int>(std::ceil(widthMm / mmPerColumn));
    rows_ = static_cast<int>(std::ceil((maxY - minY) / mmPerRow));
    cells_.assign(static_cast<size_t>(rows_ * columns_), -1);
    labels_.assign(cells_.size(), 0);

    // A cell belongs to the LED whose area holds its centre; the right edge is trimmed by most of a
    // cell so that neighbouring keys stay apart.
    const double gap = mmPerColumn * 0.6;
    for (int row = 0; row < rows_; ++row) {
        for (int col = 0; col < columns_; ++col) {
            const double x = minX + (col + 0.5) * mmPerColumn;
            const double y = minY + (row + 0.5) * mmPerRow;
            for (size_t i = 0; i < leds_.size(); ++i) {
                const auto& led = leds_[i];
                const double right = led.left + std::max(led.width - gap, mmPerColumn * 0.5);
                if (x >= led.left && x < right && y >= led.top && y < led.top + led.height) {
                    cells_[static_cast<size_t>(row * columns_ + col)] = static_cast<int>(i);
                    break;
                }
            }
        }
    }
    for (size_t i = 0; i < leds_.size(); ++i) {
        if (leds_[i].label == 0) continue;
        const double cx = leds_[i].left + leds_[i].width / 2, cy = leds_[i].top + leds_[i].height / 2;
        double best = 1e18;
        int bestCell = -1;
        for (int cell = 0; cell < static_cast<int>(cells_.size()); ++cell) {
            if (cells_[static_cast<size_t>(cell)] != static_cast<int>(i)) continue;
            const double x = minX + (cell % columns_ + 0.5) * mmPerColumn;
            const double y = minY + (cell / columns_ + 0.5) * mmPerRow;
            const double d = (x - cx) * (x - cx) + (y - cy) * (y - cy);
            if (d < best) {
                best = d;
                bestCell = cell;
            }
        }
        if (bestCell >= 0) labels_[static_cast<size_t>(bestCell)] = leds_[i].label;
    }
}

std::string KeyboardView::Render(const std::vector<Rgb>& colors) const {
    std::string out;
    out.reserve(cells_.size() * 24);
    char code[48];
    for (int row = 0; row < rows_; ++row) {
        int lastLed = -2;
        for (int col = 0; col < columns_; ++col) {
            const int led = cells_[static_cast<size_t>(row * columns_ + col)];
            const char label = labels_[static_cast<size_t>(row * columns_ + col)];
            if (led != lastLed) {
                if (led < 0 || static_cast<size_t>(led) >= colors.size()) {
                    out += "\x1b[0m";
                } else {
                    const Rgb& c = colors[static_cast<size_t>(led)];
                    // Dark text on light keys, light text on dark ones.
                    const bool light = 0.299 * c.r + 0.587 * c.g + 0.114 * c.b > 140;
                    std::snprintf(code, sizeof code, "\x1b[48;2;%d;%d;%dm\x1b[%sm", c.r, c.g, c.b,
                                  light ? "30" : "97");
                    out += code;
                }
                lastLed = led;
            }
            out += label != 0 ? label : ' ';
        }
        out += "\x1b[0m\n";
    }
    return out;
}

}  // namespace demo
