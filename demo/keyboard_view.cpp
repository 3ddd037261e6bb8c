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
    columns_ = std::max(1, static_cast<int>(std::lround(widthMm / mmPerColumn)));
    rows_ = std::max(1, static_cast<int>(std::lround((maxY - minY) / mmPerRow)));
    cells_.assign(static_cast<size_t>(rows_ * columns_), -1);
    labels_.assign(cells_.size(), 0);
    halves_.assign(cells_.size(), false);

    // Edges snap to the nearest cell boundary, and the last column of every LED stays dark, so that
    // neighbours are always one column apart whatever the scale. Keys two or more rows tall end in an
    // upper half block, which leaves half a row between rows of keys.
    for (size_t i = 0; i < leds_.size(); ++i) {
        const auto& led = leds_[i];
        const int col0 = static_cast<int>(std::lround((led.left - minX) / mmPerColumn));
        const int col1 = std::max(col0 + 1, static_cast<int>(std::lround((led.left + led.width - minX) / mmPerColumn)) - 1);
        const int row0 = static_cast<int>(std::lround((led.top - minY) / mmPerRow));
        const int row1 = std::max(row0 + 1, static_cast<int>(std::lround((led.top + led.height - minY) / mmPerRow)));
        for (int row = std::max(row0, 0); row < std::min(row1, rows_); ++row) {
            for (int col = std::max(col0, 0); col < std::min(col1, columns_); ++col) {
                const size_t cell = static_cast<size_t>(row * columns_ + col);
                cells_[cell] = static_cast<int>(i);
                halves_[cell] = row1 - row0 >= 2 && row == row1 - 1;
            }
        }
        if (led.label != 0 && row0 >= 0 && row0 < rows_) {
            const int col = std::clamp((col0 + col1 - 1) / 2, 0, columns_ - 1);
            labels_[static_cast<size_t>(row0 * columns_ + col)] = led.label;
        }
    }
}

std::string KeyboardView::Render(const std::vector<Rgb>& colors) const {
    std::string out;
    out.reserve(cells_.size() * 24);
    char code[48];
    for (int row = 0; row < rows_; ++row) {
        int lastLook = -2;
        for (int col = 0; col < columns_; ++col) {
            const size_t cell = static_cast<size_t>(row * columns_ + col);
            const int led = static_cast<size_t>(cells_[cell]) < colors.size() ? cells_[cell] : -1;
            const int look = led < 0 ? -1 : (halves_[cell] ? 2 * led + 1 : 2 * led);
            if (look != lastLook) {
                if (led < 0) {
                    out += "\x1b[0m";
                } else {
                    const Rgb& c = colors[static_cast<size_t>(led)];
                    if (halves_[cell]) {
                        std::snprintf(code, sizeof code, "\x1b[0m\x1b[38;2;%d;%d;%dm", c.r, c.g, c.b);
                    } else {
                        // Dark text on light keys, light text on dark ones.
                        const bool light = 0.299 * c.r + 0.587 * c.g + 0.114 * c.b > 140;
                        std::snprintf(code, sizeof code, "\x1b[48;2;%d;%d;%dm\x1b[%sm", c.r, c.g, c.b,
                                      light ? "30" : "97");
                    }
                    out += code;
                }
                lastLook = look;
            }
            if (led >= 0 && halves_[cell]) {
                out += "\xe2\x96\x80";  // upper half block
            } else {
                out += labels_[cell] != 0 ? labels_[cell] : ' ';
            }
        }
        out += "\x1b[0m\n";
    }
    return out;
}

}  // namespace demo
