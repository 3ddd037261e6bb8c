#include "messages.h"

#include <cstdio>

namespace sdk::bench {
namespace {

void Append(std::string& out, const char* format, auto... values) {
    char buffer[256];
    const int n = std::snprintf(buffer, sizeof buffer, format, values...);
    out.append(buffer, static_cast<std::size_t>(n));
}

}  // namespace

std::vector<VeltariLedColor> FullKeyboardColors(int count) {
    std::vector<VeltariLedColor> colors;
    colors.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) colors.push_back({i, (i * 37) % 256, (i * 91) % 256, (255 - i) & 255});
    return colors;
}

std::string ColorListText(int count) {
    std::string text;
    for (const VeltariLedColor& c : FullKeyboardColors(count)) {
        if (!text.empty()) text.push_back('#');
        Append(text, "%d,%d,%d,%d", c.ledId, c.r, c.g, c.b);
    }
    return text;
}

std::string LedPositionsResponse(int count) {
    // Key caps on a 19 mm grid with the fractional offsets of staggered rows, as a layout table has them.
    std::string text = "{\"result\":[";
    for (int i = 0; i < count; ++i) {
        if (i > 0) text.push_back(',');
        const double top = 15.5 + (i / 24) * 19.0;
        const double left = 3.25 + (i % 24) * 19.0 + (i / 24 % 4) * 4.75;
        const double width = i % 24 == 23 ? 36.5 : 17.0;
        Append(text, "{\"ledId\":%d,\"top\":%g,\"left\":%g,\"height\":17,\"width\":%g}", i + 1, top, left,
               width);
    }
    text += "],\"errorCode\":0}";
    return text;
}

std::string DeviceInfoResponse() {
    std::string text =
        "{\"result\":{\"type\":2,\"model\":\"Veltari Strata RGB "
        "Pro\",\"physicalLayout\":1,\"logicalLayout\":2,"
        "\"capsMask\":3,\"ledsCount\":204,\"channels\":[";
    for (int channel = 0; channel < 3; ++channel) {
        if (channel > 0) text.push_back(',');
        Append(text, "{\"totalLedsCount\":%d,\"devices\":[", 68);
        for (int device = 0; device < 4; ++device) {
            if (device > 0) text.push_back(',');
            Append(text, "{\"type\":%d,\"deviceLedCount\":%d}", device + 1, 17);
        }
        text += "]}";
    }
    text += "]},\"errorCode\":0}";
    return text;
}

std::string SetLedsColorsRequest(int count) {
    return "{\"method\":\"VeltariSetLedsColors\",\"params\":{\"ledsColors\":\"" + ColorListText(count) +
           "\"}}";
}

std::string GetLedsColorsResponse(int count) {
    return "{\"ledsColors\":\"" + ColorListText(count) + "\"}";
}

}  // namespace sdk::bench
