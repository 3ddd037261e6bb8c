#include "api/led_color_list.h"

#include <algorithm>
#include <bitset>
#include <charconv>
#include <cstdint>

#include "json/json.h"

namespace sdk {
namespace {

// Formatted integer extraction as a text stream does it: leading white space, an optional sign, digits;
// a value outside the int32 range fails.
class IntReader {
public:
    explicit IntReader(std::string_view text) : text_(text) {}

    bool AtEnd() const { return pos_ >= text_.size(); }

    bool Extract(int& value) {
        if (failed_) return false;
        while (pos_ < text_.size() && IsSpace(text_[pos_])) ++pos_;
        std::size_t p = pos_;
        bool negative = false;
        if (p < text_.size() && (text_[p] == '-' || text_[p] == '+')) {
            negative = text_[p] == '-';
            ++p;
        }
        std::size_t digitsStart = p;
        std::int64_t magnitude = 0;
        bool overflow = false;
        while (p < text_.size() && text_[p] >= '0' && text_[p] <= '9') {
            if (!overflow) {
                magnitude = magnitude * 10 + (text_[p] - '0');
                overflow = magnitude > std::int64_t{1} << 31;
            }
            ++p;
        }
        if (p == digitsStart) return Fail();
        pos_ = p;
        std::int64_t signedValue = negative ? -magnitude : magnitude;
        if (overflow || signedValue > INT32_MAX || signedValue < INT32_MIN) return Fail();
        value = static_cast<int>(signedValue);
        return true;
    }

    // Consumes one character, whatever it is; at the end of the text the reader fails.
    void Skip() {
        if (failed_) return;
        if (pos_ >= text_.size()) {
            failed_ = true;
            return;
        }
        ++pos_;
    }

private:
    static bool IsSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
    bool Fail() {
        failed_ = true;
        return false;
    }

    std::string_view text_;
    std::size_t pos_ = 0;
    bool failed_ = false;
};

void AppendInt(std::string& out, int value) {
    char buffer[12];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, result.ptr);
}

}  // namespace

bool ValidateLedColors(int count, const VeltariLedColor* colors, unsigned checks) {
    if (count <= 0) return true;
    if (colors == nullptr) return false;
    const bool checkIds = (checks & kCheckLedIds) != 0;
    const bool checkIntensity = (checks & kCheckIntensity) != 0;
    auto outOfRange = [](int value, unsigned max) { return static_cast<std::uint32_t>(value) > max; };
    for (int i = 0; i < count; ++i) {
        const VeltariLedColor& c = colors[i];
        if (checkIntensity && (outOfRange(c.r, 255) || outOfRange(c.g, 255) || outOfRange(c.b, 255))) {
            return false;
        }
        if (checkIds && outOfRange(c.ledId, kMaxLedId)) return false;
    }
    if (checkIds) {
        // Every id is known to be in range here, so a bit per id finds repeats without sorting.
        std::bitset<kMaxLedId + 1> seen;
        for (int i = 0; i < count; ++i) {
            auto id = static_cast<std::size_t>(colors[i].ledId);
            if (seen.test(id)) return false;
            seen.set(id);
        }
        return true;
    }
    std::vector<int> ids(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) ids[static_cast<std::size_t>(i)] = colors[i].ledId;
    std::sort(ids.begin(), ids.end());
    return std::adjacent_find(ids.begin(), ids.end()) == ids.end();
}

void AppendLedColors(std::string& out, int count, const VeltariLedColor* colors) {
    if (count <= 0 || colors == nullptr) return;
    out.reserve(out.size() + static_cast<std::size_t>(count) * 16);
    for (int i = 0; i < count; ++i) {
        if (i > 0) out.push_back('#');
        AppendInt(out, colors[i].ledId);
        out.push_back(',');
        AppendInt(out, colors[i].r);
        out.push_back(',');
        AppendInt(out, colors[i].g);
        out.push_back(',');
        AppendInt(out, colors[i].b);
    }
}

std::string EncodeLedColors(int count, const VeltariLedColor* colors) {
    std::string out;
    AppendLedColors(out, count, colors);
    return out;
}

std::vector<VeltariLedColor> DecodeLedColors(std::string_view text) {
    std::vector<VeltariLedColor> records;
    IntReader reader(text);
    while (!reader.AtEnd()) {
        VeltariLedColor record{0, 0, 0, 0};
        if (!reader.Extract(record.ledId)) break;
        bool complete = true;
        for (int* field : {&record.r, &record.g, &record.b}) {
            reader.Skip();
            if (!reader.Extract(*field)) {
                *field = 0;
                complete = false;
            }
        }
        reader.Skip();
        records.push_back(record);
        if (!complete) break;
    }
    return records;
}

std::string BuildLedColorsRequest(std::string_view method, int count, const VeltariLedColor* colors) {
    Json params;
    params["ledsColors"] = Json(EncodeLedColors(count, colors));
    Json request;
    request["method"] = Json(method);
    request["params"] = std::move(params);
    return request.ToText();
}

}  // namespace sdk
