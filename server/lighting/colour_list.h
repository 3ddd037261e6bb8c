// The colour list text carried inside requests and responses: records "ledId,r,g,b" joined by "#".
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sdk {

struct LedColour {
    int ledId = 0;
    int r = 0;
    int g = 0;
    int b = 0;
    bool operator==(const LedColour&) const = default;
};

// Strict on what it accepts, since a malformed list must be refused rather than half applied: signed
// decimal int32 fields, "," between fields, "#" between records, one trailing "#" tolerated. The empty
// text is the empty list. Nullopt when the text is malformed; ranges are the caller's to check.
std::optional<std::vector<LedColour>> ParseColourList(std::string_view text);

std::string FormatColourList(const std::vector<LedColour>& colours);

}  // namespace sdk
