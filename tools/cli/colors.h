// Colour names and #RRGGBB texts as the command-line tool reads and prints them.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace cli {

struct Rgb {
    int r = 0;
    int g = 0;
    int b = 0;
    friend bool operator==(const Rgb&, const Rgb&) = default;
};

struct NamedColor {
    std::string_view name;
    Rgb rgb;
};

// The names the tool accepts, in the order --help lists them.
const std::vector<NamedColor>& ColorNames();

// Reads a colour name (any case), #RRGGBB or #RGB. Nothing else is accepted, not even surrounding blanks.
std::optional<Rgb> ParseColor(std::string_view text);

// "#RRGGBB" in upper case, followed by " (name)" when the colour has a name.
std::string DescribeColor(const Rgb& rgb);

}  // namespace cli
