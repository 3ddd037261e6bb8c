#include "cli/colors.h"

#include <cctype>
#include <cstdio>

namespace cli {

const std::vector<NamedColor>& ColorNames() {
    // LED intensities rather than web colours: "green" is the full green channel.
    static const std::vector<NamedColor> names = {
        {"off", {0, 0, 0}},          {"black", {0, 0, 0}},       {"white", {255, 255, 255}},
        {"red", {255, 0, 0}},        {"green", {0, 255, 0}},     {"blue", {0, 0, 255}},
        {"yellow", {255, 255, 0}},   {"cyan", {0, 255, 255}},    {"magenta", {255, 0, 255}},
        {"orange", {255, 128, 0}},   {"purple", {128, 0, 255}},  {"pink", {255, 64, 160}},
        {"teal", {0, 128, 128}},     {"gray", {128, 128, 128}},  {"grey", {128, 128, 128}},
        {"warmwhite", {255, 180, 100}},
    };
    return names;
}

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

std::optional<Rgb> ParseHex(std::string_view digits) {
    if (digits.size() != 6 && digits.size() != 3) return std::nullopt;
    int values[6] = {};
    for (size_t i = 0; i < digits.size(); ++i) {
        values[i] = HexDigit(digits[i]);
        if (values[i] < 0) return std::nullopt;
    }
    if (digits.size() == 6) {
        return Rgb{values[0] * 16 + values[1], values[2] * 16 + values[3], values[4] * 16 + values[5]};
    }
    return Rgb{values[0] * 17, values[1] * 17, values[2] * 17};
}

}  // namespace

std::optional<Rgb> ParseColor(std::string_view text) {
    if (!text.empty() && text.front() == '#') {
        return ParseHex(text.substr(1));
    }
    for (const auto& named : ColorNames()) {
        if (EqualsIgnoringCase(text, named.name)) return named.rgb;
    }
    return std::nullopt;
}

std::string DescribeColor(const Rgb& rgb) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "#%02X%02X%02X", rgb.r & 0xFF, rgb.g & 0xFF, rgb.b & 0xFF);
    std::string text = hex;
    for (const auto& named : ColorNames()) {
        if (named.rgb == rgb) {
            text += " (";
            text += named.name;
            text += ")";
            break;
        }
    }
    return text;
}

}  // namespace cli
