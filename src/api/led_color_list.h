// Colour lists as callers pass them and as they travel inside JSON: "ledId,r,g,b" records joined by '#'.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "api/led_color_wide.h"
#include "api/protocol.h"
#include "veltari.h"

namespace sdk {

// Check bits of ValidateLedColors.
constexpr unsigned kCheckLedIds = 1;     // every ledId in 0..kMaxLedId
constexpr unsigned kCheckIntensity = 2;  // every r, g, b in 0..255
constexpr unsigned kCheckAll = kCheckLedIds | kCheckIntensity;

// True when the list passes the checks named by `checks`; duplicate ids always fail. A null array with a
// positive count fails without being read. A count of 0 or less passes (callers refuse it first).
bool ValidateLedColors(int count, const VeltariLedColor* colors, unsigned checks);

std::string EncodeLedColors(int count, const VeltariLedColor* colors);
void AppendLedColors(std::string& out, int count, const VeltariLedColor* colors);
// Appends slots[order[0]], slots[order[1]], ... slots[order[count-1]]: a keyed set in its order, uncopied.
void AppendLedColors(std::string& out, int count, const VeltariLedColor* slots, const std::uint16_t* order);
// Either of the above (slots[k] when order is null) with `wide` writing what it can, null for none; the
// above use the processor's own.
void AppendLedColorsWith(WideRecordWriter wide, std::string& out, int count, const VeltariLedColor* slots,
                         const std::uint16_t* order);

// Tolerant reader: any single character may stand for a separator; a record whose first field reads
// counts even when a later field does not (that field reads as 0), and decoding ends after it.
std::vector<VeltariLedColor> DecodeLedColors(std::string_view text);
// The same reading, by position into `colors`: when the text holds exactly `count` records, their r, g
// and b replace those of colors[0..count-1] (ids untouched) and the result is true; otherwise the records
// are left as they were and the result is false. Allocates nothing.
bool DecodeLedColorsInto(std::string_view text, int count, VeltariLedColor* colors);
// The same with `wide` reading what it can, null for none; the above uses the processor's own.
bool DecodeLedColorsIntoWith(WideRecordReader wide, std::string_view text, int count,
                             VeltariLedColor* colors);

// Appends {"method":M,"params":{"ledsColors":"<list>"}} to out.
void WriteLedColorsRequest(std::string& out, std::string_view method, int count,
                           const VeltariLedColor* colors);
// Appends {"method":M,"params":{"deviceIndex":D,"ledsColors":"<list>"}} to out.
void WriteLedColorsRequest(std::string& out, std::string_view method, int deviceIndex, int count,
                           const VeltariLedColor* colors);

}  // namespace sdk
