#include "api/led_color_list.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>

#include "api/request_text.h"

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

// The decimal text of 0..999, which covers every id and intensity that passes the checks; the fourth
// byte holds the length.
struct SmallDecimals {
    char text[1000][4] = {};
    constexpr SmallDecimals() {
        for (int v = 0; v < 1000; ++v) {
            char* t = text[v];
            if (v >= 100) {
                t[0] = static_cast<char>('0' + v / 100);
                t[1] = static_cast<char>('0' + v / 10 % 10);
                t[2] = static_cast<char>('0' + v % 10);
                t[3] = 3;
            } else if (v >= 10) {
                t[0] = static_cast<char>('0' + v / 10);
                t[1] = static_cast<char>('0' + v % 10);
                t[3] = 2;
            } else {
                t[0] = static_cast<char>('0' + v);
                t[3] = 1;
            }
        }
    }
};
constexpr SmallDecimals kSmallDecimals;

// Writes at most 11 characters; a small value copies four bytes, so the caller leaves that much room.
char* WriteInt(char* out, int value) {
    if (static_cast<unsigned>(value) < 1000) {
        const char* text = kSmallDecimals.text[value];
        std::memcpy(out, text, 4);
        return out + text[3];
    }
    return std::to_chars(out, out + 11, value).ptr;
}

}  // namespace

bool ValidateLedColors(int count, const VeltariLedColor* colors, unsigned checks) {
    if (count <= 0) return true;
    if (colors == nullptr) return false;
    const bool checkIds = (checks & kCheckLedIds) != 0;
    const bool checkIntensity = (checks & kCheckIntensity) != 0;
    // The ranges are tested for the whole list without an early exit, which lets the loop run several
    // records per step; a list that fails is rare and costs no more than one that passes. An unsigned
    // value is above 255 exactly when the bitwise or of it with others is.
    std::uint32_t outOfRange = 0;
    for (int i = 0; i < count; ++i) {
        const VeltariLedColor& c = colors[i];
        if (checkIntensity) {
            outOfRange |= static_cast<std::uint32_t>((static_cast<std::uint32_t>(c.r) |
                                                      static_cast<std::uint32_t>(c.g) |
                                                      static_cast<std::uint32_t>(c.b)) > 255);
        }
        if (checkIds)
            outOfRange |= static_cast<std::uint32_t>(static_cast<std::uint32_t>(c.ledId) > kMaxLedId);
    }
    if (outOfRange != 0) return false;
    if (checkIds) {
        // Every id is known to be in range here, so a mark per id finds repeats without sorting. A byte
        // per id rather than a bit: neighbouring ids then never wait for each other's mark.
        unsigned char seen[kMaxLedId + 1] = {};
        unsigned char repeated = 0;
        for (int i = 0; i < count; ++i) {
            unsigned char& mark = seen[static_cast<std::uint32_t>(colors[i].ledId)];
            repeated |= mark;
            mark = 1;
        }
        return repeated == 0;
    }
    std::vector<int> ids(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) ids[static_cast<std::size_t>(i)] = colors[i].ledId;
    std::sort(ids.begin(), ids.end());
    return std::adjacent_find(ids.begin(), ids.end()) == ids.end();
}

void AppendLedColors(std::string& out, int count, const VeltariLedColor* colors) {
    if (count <= 0 || colors == nullptr) return;
    // Records are formatted into a local block and appended a block at a time: appending each number on
    // its own costs more than formatting it.
    constexpr std::size_t kRecordMax = 4 * 11 + 4;
    char block[4096];
    char* p = block;
    // Grown geometrically: a caller that appends a record at a time must not pay a new buffer each time.
    const std::size_t needed = out.size() + static_cast<std::size_t>(count) * 16;
    if (needed > out.capacity()) out.reserve(std::max(needed, out.capacity() * 2));
    for (int i = 0; i < count; ++i) {
        if (static_cast<std::size_t>(block + sizeof block - p) < kRecordMax + 4) {
            out.append(block, p);
            p = block;
        }
        if (i > 0) *p++ = '#';
        const VeltariLedColor& c = colors[i];
        p = WriteInt(p, c.ledId);
        *p++ = ',';
        p = WriteInt(p, c.r);
        *p++ = ',';
        p = WriteInt(p, c.g);
        *p++ = ',';
        p = WriteInt(p, c.b);
    }
    out.append(block, p);
}

std::string EncodeLedColors(int count, const VeltariLedColor* colors) {
    std::string out;
    AppendLedColors(out, count, colors);
    return out;
}

namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// Reads the records that are in the form every writer uses (plain digits, one character between fields)
// from `p` on, handing each to `take` until it declines one. Returns where it stopped: at the end, or at
// the start of the first record that is not in that form, for the general reader to take from there with
// exactly the same outcome; null when `take` declined.
template <class Take>
const char* DecodePlainRecords(const char* p, const char* end, Take& take) {
    while (p < end) {
        const char* q = p;
        int fields[4];
        for (int f = 0; f < 4; ++f) {
            if (q == end || !IsDigit(*q)) {
                return p;
            }
            // Nine digits cannot overflow; a longer number is left to the general reader.
            const char* limit = end - q > 9 ? q + 9 : end;
            int value = *q++ - '0';
            while (q < limit && IsDigit(*q)) {
                value = value * 10 + (*q++ - '0');
            }
            if (q < end && IsDigit(*q)) {
                return p;
            }
            fields[f] = value;
            if (f < 3) {
                if (q == end) {
                    return p;
                }
                ++q;
            }
        }
        if (!take(VeltariLedColor{fields[0], fields[1], fields[2], fields[3]})) {
            return nullptr;
        }
        p = q < end ? q + 1 : q;
    }
    return p;
}

// The one decoder: hands the records of `text` in order to `take`, a callable that gets a VeltariLedColor
// and returns false to stop.
template <class Take>
void DecodeRecords(std::string_view text, Take take) {
    const char* rest = DecodePlainRecords(text.data(), text.data() + text.size(), take);
    if (rest == nullptr) {
        return;
    }
    IntReader reader(text.substr(static_cast<std::size_t>(rest - text.data())));
    while (!reader.AtEnd()) {
        int ledId = 0;
        if (!reader.Extract(ledId)) break;
        // A field that does not read stays 0, and so do the ones after it: the reader has failed.
        int r = 0;
        int g = 0;
        int b = 0;
        reader.Skip();
        bool complete = reader.Extract(r);
        reader.Skip();
        complete = reader.Extract(g) && complete;
        reader.Skip();
        complete = reader.Extract(b) && complete;
        reader.Skip();
        if (!take(VeltariLedColor{ledId, r, g, b}) || !complete) break;
    }
}

}  // namespace

std::vector<VeltariLedColor> DecodeLedColors(std::string_view text) {
    std::vector<VeltariLedColor> records;
    // A record takes at least seven characters and a separator, so this is the only allocation.
    records.reserve(text.size() / 8 + 1);
    DecodeRecords(text, [&records](const VeltariLedColor& record) {
        records.push_back(record);
        return true;
    });
    return records;
}

bool DecodeLedColorsInto(std::string_view text, int count, VeltariLedColor* colors) {
    // Read straight into the caller's records; a list of the wrong length then puts back the colours
    // they had. Keeping those on the stack costs far less than reading the list twice, which only a
    // count beyond any list that passes the checks still does.
    constexpr int kKeptOnStack = kMaxLedId + 1;
    if (count < 0) return false;
    if (count > kKeptOnStack) {
        int found = 0;
        DecodeRecords(text, [&found, count](const VeltariLedColor&) { return ++found <= count; });
        if (found != count) return false;
    }
    VeltariLedColor before[kKeptOnStack];
    const int kept = std::min(count, kKeptOnStack);
    if (kept > 0) std::memcpy(before, colors, static_cast<std::size_t>(kept) * sizeof(VeltariLedColor));
    int found = 0;
    DecodeRecords(text, [&found, count, colors](const VeltariLedColor& record) {
        if (found == count) {
            ++found;
            return false;
        }
        VeltariLedColor& target = colors[found++];
        target.r = record.r;
        target.g = record.g;
        target.b = record.b;
        return true;
    });
    if (found == count) return true;
    if (kept > 0) std::memcpy(colors, before, static_cast<std::size_t>(kept) * sizeof(VeltariLedColor));
    return false;
}

namespace {

void WriteColorsRequest(std::string& request, std::string_view method, const int* deviceIndex, int count,
                        const VeltariLedColor* colors) {
    JsonWriter writer(request);
    writer.Reserve(method.size() + static_cast<std::size_t>(count > 0 ? count : 0) * 16 + 64);
    BeginRequestParams(writer, method);
    if (deviceIndex != nullptr) {
        writer.Name("deviceIndex");
        writer.Number(*deviceIndex);
    }
    writer.Name("ledsColors");
    // Written in place, sparing a copy of the list; it holds only digits, '-', ',' and '#', none of which
    // needs an escape.
    AppendLedColors(writer.BeginString(), count, colors);
    writer.EndString();
    EndRequestParams(writer);
}

}  // namespace

void WriteLedColorsRequest(std::string& out, std::string_view method, int count,
                           const VeltariLedColor* colors) {
    WriteColorsRequest(out, method, nullptr, count, colors);
}

void WriteLedColorsRequest(std::string& out, std::string_view method, int deviceIndex, int count,
                           const VeltariLedColor* colors) {
    WriteColorsRequest(out, method, &deviceIndex, count, colors);
}

}  // namespace sdk
