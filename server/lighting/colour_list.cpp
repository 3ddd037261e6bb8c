#include "lighting/colour_list.h"

#include <cstdint>
#include <limits>

namespace sdk {
namespace {

bool ReadInt(std::string_view text, std::size_t& pos, int& out) {
    bool negative = false;
    if (pos < text.size() && text[pos] == '-') {
        negative = true;
        ++pos;
    }
    const std::size_t digitsStart = pos;
    std::int64_t value = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
        value = value * 10 + (text[pos] - '0');
        if (value > static_cast<std::int64_t>(std::numeric_limits<int>::max()) + 1) return false;
        ++pos;
    }
    if (pos == digitsStart) return false;
    if (negative) value = -value;
    if (value < std::numeric_limits<int>::min() || value > std::numeric_limits<int>::max()) return false;
    out = static_cast<int>(value);
    return true;
}

bool Expect(std::string_view text, std::size_t& pos, char c) {
    if (pos >= text.size() || text[pos] != c) return false;
    ++pos;
    return true;
}

}  // namespace

std::optional<std::vector<LedColour>> ParseColourList(std::string_view text) {
    std::vector<LedColour> colours;
    std::size_t pos = 0;
    while (pos < text.size()) {
        LedColour colour;
        if (!ReadInt(text, pos, colour.ledId) || !Expect(text, pos, ',') || !ReadInt(text, pos, colour.r) ||
            !Expect(text, pos, ',') || !ReadInt(text, pos, colour.g) || !Expect(text, pos, ',') ||
            !ReadInt(text, pos, colour.b)) {
            return std::nullopt;
        }
        colours.push_back(colour);
        if (pos == text.size()) break;
        if (!Expect(text, pos, '#')) return std::nullopt;
    }
    return colours;
}

std::string FormatColourList(const std::vector<LedColour>& colours) {
    std::string text;
    for (std::size_t i = 0; i < colours.size(); ++i) {
        if (i > 0) text += '#';
        const LedColour& c = colours[i];
        text += std::to_string(c.ledId) + ',' + std::to_string(c.r) + ',' + std::to_string(c.g) + ',' +
                std::to_string(c.b);
    }
    return text;
}

}  // namespace sdk
