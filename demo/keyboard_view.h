// Draws a device's LEDs in the terminal, laid out by their positions, in 24-bit ANSI colour.
#pragma once

#include <string>
#include <vector>

namespace demo {

struct Rgb {
    int r = 0;
    int g = 0;
    int b = 0;
};

// One LED's area in the server's units (millimetres on the reference server) and its key label, if any.
struct LedBox {
    int ledId = 0;
    double top = 0;
    double left = 0;
    double height = 0;
    double width = 0;
    char label = 0;
};

class KeyboardView {
public:
    // Fits the LEDs into at most `columns` character cells across.
    KeyboardView(std::vector<LedBox> leds, int columns);

    // The picture as lines of text with colour escapes, one colour per LED in the order given above.
    std::string Render(const std::vector<Rgb>& colors) const;

    int Rows() const { return rows_; }
    int Columns() const { return columns_; }

private:
    std::vector<LedBox> leds_;
    int rows_ = 0;
    int columns_ = 0;
    std::vector<int> cells_;   // LED index per cell, -1 for none
    std::vector<char> labels_;  // label per cell, 0 for none
    std::vector<bool> halves_;  // cells drawn as an upper half block
};

}  // namespace demo
