// Decodes arbitrary bytes as a colour list. Whatever the text, decoding must not crash, every record
// must cost at least one byte of text, what was decoded must survive encoding and decoding unchanged, and
// reading in place must agree. The same records then go through the validator and the request builder,
// whose text must read back.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "api/led_color_list.h"
#include "json/json.h"

namespace {

void Require(bool condition, const char* what) {
    if (condition) return;
    std::fprintf(stderr, "broken property: %s\n", what);
    std::abort();
}

bool SameRecords(const std::vector<VeltariLedColor>& a, const std::vector<VeltariLedColor>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i].ledId != b[i].ledId || a[i].r != b[i].r || a[i].g != b[i].g || a[i].b != b[i].b)
            return false;
    }
    return true;
}

// The checks the validator makes, written out plainly for comparison.
bool ReferenceValid(const std::vector<VeltariLedColor>& records, unsigned checks) {
    for (std::size_t i = 0; i < records.size(); ++i) {
        const VeltariLedColor& c = records[i];
        if ((checks & sdk::kCheckIntensity) &&
            (c.r < 0 || c.r > 255 || c.g < 0 || c.g > 255 || c.b < 0 || c.b > 255)) {
            return false;
        }
        if ((checks & sdk::kCheckLedIds) && (c.ledId < 0 || c.ledId > sdk::kMaxLedId)) return false;
    }
    for (std::size_t i = 0; i < records.size(); ++i) {
        for (std::size_t j = i + 1; j < records.size(); ++j) {
            if (records[i].ledId == records[j].ledId) return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::vector<VeltariLedColor> records = sdk::DecodeLedColors(text);
    Require(records.size() <= size, "more records than bytes");

    const int count = static_cast<int>(records.size());
    const std::string encoded = sdk::EncodeLedColors(count, records.data());
    Require(SameRecords(sdk::DecodeLedColors(encoded), records), "decode-encode-decode changed the records");
    Require(sdk::EncodeLedColors(count, records.data()) == encoded, "encoding is not deterministic");

    // Reading in place agrees with reading into new records, and a wrong count changes nothing.
    std::vector<VeltariLedColor> inPlace(records.size() + 1, VeltariLedColor{-7, -7, -7, -7});
    Require(!sdk::DecodeLedColorsInto(text, count + 1, inPlace.data()) && inPlace[0].r == -7,
            "in-place reading took a list one short of its count");
    Require(sdk::DecodeLedColorsInto(text, count, inPlace.data()), "in-place reading refused its own count");
    for (std::size_t i = 0; i < records.size(); ++i) {
        Require(inPlace[i].ledId == -7 && inPlace[i].r == records[i].r && inPlace[i].g == records[i].g &&
                    inPlace[i].b == records[i].b,
                "in-place reading disagrees with reading into new records");
    }

    // The quadratic reference check stays cheap only for short lists.
    if (records.size() <= 64) {
        for (unsigned checks : {0u, sdk::kCheckLedIds, sdk::kCheckIntensity, sdk::kCheckAll}) {
            Require(sdk::ValidateLedColors(count, records.data(), checks) == ReferenceValid(records, checks),
                    "validator disagrees with the plain checks");
        }
    }

    std::string request;
    sdk::WriteLedColorsRequest(request, "VeltariSetLedsColors", count, records.data());
    const sdk::Json parsed = sdk::Json::Parse(request);
    Require(parsed.At("method").AsString() == "VeltariSetLedsColors", "request lost its method");
    Require(parsed.At("params").At("ledsColors").AsString() == encoded, "request lost its colour list");
    return 0;
}
