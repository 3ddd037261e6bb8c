#include "api/led_color_list.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstdint>
#include <cstring>

#include "api/request_text.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace sdk {
namespace {

// Fields are stored and read as little-endian words of digits.
static_assert(std::endian::native == std::endian::little);

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

// The decimal text of a value below 1000 and one separator after it in the low four bytes, and the length of
// both in the high ones. A record is then four stores at offsets that do not wait for each other, rather
// than a pointer advanced field by field.
struct FieldTexts {
    std::uint64_t comma[1000] = {};
    std::uint64_t hash[1000] = {};  // the last field, with the record separator
    constexpr FieldTexts() {
        for (int v = 0; v < 1000; ++v) {
            std::uint64_t text = 0;
            int length = 0;
            if (v >= 100) text |= std::uint64_t('0' + v / 100) << (8 * length++);
            if (v >= 10) text |= std::uint64_t('0' + v / 10 % 10) << (8 * length++);
            text |= std::uint64_t('0' + v % 10) << (8 * length++);
            const std::uint64_t tail = std::uint64_t(length + 1) << 32;
            comma[v] = text | (std::uint64_t{','} << (8 * length)) | tail;
            hash[v] = text | (std::uint64_t{'#'} << (8 * length)) | tail;
        }
    }
};
constexpr FieldTexts kFieldTexts;

// Stores four bytes at out; the bytes past the field's own are overwritten by the next one.
void PutField(char* out, std::uint64_t entry) {
    const auto text = static_cast<std::uint32_t>(entry);
    std::memcpy(out, &text, 4);
}

char* WriteField(char* out, int value, char separator) {
    out = std::to_chars(out, out + 11, value).ptr;
    *out++ = separator;
    return out;
}

// Writes the record and a '#' after it; at most 48 characters, 16 in the common case.
char* WriteRecord(char* out, const VeltariLedColor& c) {
    if (static_cast<unsigned>(c.ledId) < 1000 && static_cast<unsigned>(c.r | c.g | c.b) < 512) {
        const std::uint64_t id = kFieldTexts.comma[c.ledId];
        const std::uint64_t r = kFieldTexts.comma[c.r];
        const std::uint64_t g = kFieldTexts.comma[c.g];
        const std::uint64_t b = kFieldTexts.hash[c.b];
        const std::size_t atR = id >> 32;
        const std::size_t atG = atR + (r >> 32);
        const std::size_t atB = atG + (g >> 32);
        PutField(out, id);
        PutField(out + atR, r);
        PutField(out + atG, g);
        PutField(out + atB, b);
        return out + atB + (b >> 32);
    }
    out = WriteField(out, c.ledId, ',');
    out = WriteField(out, c.r, ',');
    out = WriteField(out, c.g, ',');
    return WriteField(out, c.b, '#');
}

// Records are written into a local block and appended a block at a time: appending each number on its
// own costs more than formatting it. A block takes as many records as surely fit, without a test each,
// with room for the wide writer's stores past its text.
void AppendRecords(std::string& out, int count, const VeltariLedColor* slots, const std::uint16_t* order,
                   WideRecordWriter wide) {
    constexpr int kRecordMax = 4 * 12;
    char block[8192];
    constexpr int kBatch = (sizeof block - kWideWriteSpan) / kRecordMax;
    // Grown geometrically: a caller that appends a record at a time must not pay a new buffer each time.
    const std::size_t needed = out.size() + static_cast<std::size_t>(std::max(count, 0)) * 16;
    if (needed > out.capacity()) out.reserve(std::max(needed, out.capacity() * 2));
    for (int i = 0; i < count;) {
        const int last = count - i > kBatch ? i + kBatch : count;
        char* p = block;
        while (i < last) {
            if (wide != nullptr)
                i += order != nullptr ? wide(p, slots, order + i, last - i)
                                      : wide(p, slots + i, nullptr, last - i);
            // What the wide writer leaves (a short tail, a record of wide numbers) goes one at a time.
            if (i < last) {
                p = WriteRecord(p, order != nullptr ? slots[order[i]] : slots[i]);
                ++i;
            }
        }
        out.append(block, i == count ? p - 1 : p);  // no separator after the last record
    }
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
    AppendLedColorsWith(ProcessorRecordWriter(), out, count, colors, nullptr);
}

void AppendLedColors(std::string& out, int count, const VeltariLedColor* slots, const std::uint16_t* order) {
    if (order == nullptr) return;
    AppendLedColorsWith(ProcessorRecordWriter(), out, count, slots, order);
}

void AppendLedColorsWith(WideRecordWriter wide, std::string& out, int count, const VeltariLedColor* slots,
                         const std::uint16_t* order) {
    if (slots == nullptr) return;
    AppendRecords(out, count, slots, order, wide);
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

// Bit i set when byte i of the 16 at p is not a digit. One compare of all sixteen where the processor has
// it; the loop is the same test for any other.
unsigned NonDigitMask16(const char* p) {
#if defined(__SSE2__)
    // Digits are the bytes that, shifted to signed, are at most '9'; subtracting '0' + 128 maps them to
    // -128..-119 and every other byte above.
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i shifted = _mm_sub_epi8(bytes, _mm_set1_epi8(static_cast<char>('0' + 128)));
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpgt_epi8(shifted, _mm_set1_epi8(-128 + 9))));
#else
    unsigned mask = 0;
    for (int i = 0; i < 16; ++i) mask |= static_cast<unsigned>(!IsDigit(p[i])) << i;
    return mask;
#endif
}

// The value of the 1 to 3 digits at p.
int ShortField(const char* p, int length) {
    std::uint32_t word;
    std::memcpy(&word, p, 4);
    // The digits to the top bytes (little-endian), then pairs and the pair of pairs, as 10a + b.
    std::uint32_t digits = (word - 0x30303030u) << (8 * (4 - length));
    digits = digits * 10 + (digits >> 8);
    return static_cast<int>(((digits & 0x00FF00FFu) * 0x00640001u) >> 16);
}

// Reads one record of short fields (1 to 3 digits each) and its separator at p, where 16 bytes are
// readable: r, g and b into rgb, and the length taken; 0 when the record is not of that form. Each
// record is one load and one mask rather than a branch per digit, which the varying widths mispredict.
int ShortRecord(const char* p, std::uint16_t* rgb) {
    unsigned mask = NonDigitMask16(p);
    const int s1 = std::countr_zero(mask);
    mask &= mask - 1;
    const int s2 = std::countr_zero(mask);
    mask &= mask - 1;
    const int s3 = std::countr_zero(mask);
    mask &= mask - 1;
    const int s4 = std::countr_zero(mask);  // 32 when the window holds fewer than four separators
    const auto shortField = [](int length) { return static_cast<unsigned>(length - 1) <= 2; };
    if (!shortField(s1) || !shortField(s2 - s1 - 1) || !shortField(s3 - s2 - 1) || !shortField(s4 - s3 - 1)) {
        return 0;
    }
    rgb[0] = static_cast<std::uint16_t>(ShortField(p + s1 + 1, s2 - s1 - 1));
    rgb[1] = static_cast<std::uint16_t>(ShortField(p + s2 + 1, s3 - s2 - 1));
    rgb[2] = static_cast<std::uint16_t>(ShortField(p + s3 + 1, s4 - s3 - 1));
    return s4 + 1;
}

// Reads records of short fields from p on into rgb (three per record, from record `found` on), while they
// start before `stop`, with 16 bytes readable from each, and fewer than `count` are found; p is left after
// the last one read.
void ReadShortRun(const char*& p, const char* stop, int count, int& found, std::uint16_t* rgb) {
    while (p < stop && found < count) {
        const int length = ShortRecord(p, rgb + 3 * static_cast<std::ptrdiff_t>(found));
        if (length == 0) return;
        p += length;
        ++found;
    }
}

// Each record's start waits on the end of the one before, so a long list is read as two runs side by side,
// the second from just after the first '#' past the middle. That guess holds when the first run arrives
// exactly there: then the second run's records follow and p moves past them. Otherwise p and found stay
// where the first run ended, and it reads on alone. `count` is at most kMaxLedId + 1.
void ReadTwoRuns(std::string_view text, int count, const char*& p, int& found, std::uint16_t* rgb) {
    if (text.size() < 512) return;
    const char* const end = text.data() + text.size();
    const auto* split = static_cast<const char*>(std::memchr(p + text.size() / 2, '#', text.size() / 2));
    if (split == nullptr || end - split <= 16) return;
    std::uint16_t second[3 * (kMaxLedId + 1)];
    const int room = std::min(count, kMaxLedId + 1);
    const char* q = split + 1;
    int foundSecond = 0;
    while (split - p >= 16 && end - q >= 16 && found < count && foundSecond < room) {
        const int first = ShortRecord(p, rgb + 3 * static_cast<std::ptrdiff_t>(found));
        const int next = ShortRecord(q, second + 3 * static_cast<std::ptrdiff_t>(foundSecond));
        if (first == 0 || next == 0) return;
        p += first;
        ++found;
        q += next;
        ++foundSecond;
    }
    ReadShortRun(p, split + 1, count, found, rgb);
    if (p != split + 1 || found + foundSecond > count) return;
    std::memcpy(rgb + 3 * static_cast<std::ptrdiff_t>(found), second,
                3 * static_cast<std::size_t>(foundSecond) * sizeof(std::uint16_t));
    found += foundSecond;
    p = q;
}

// The colours of a text that is plain throughout, into rgb (three per record, room for `count`, at most
// kMaxLedId + 1): the number of records, count + 1 when there are more; -1 when some record is not plain
// or has a colour beyond 16 bits, which leaves the text to the general reader.
int DecodePlainColors(std::string_view text, int count, std::uint16_t* rgb, WideRecordReader wide) {
    const char* p = text.data();
    const char* const end = p + text.size();
    int found = 0;
    if (wide != nullptr) {
        found = wide(p, end, count, rgb);
    } else {
        ReadTwoRuns(text, count, p, found, rgb);
    }
    ReadShortRun(p, text.size() >= 16 ? end - 15 : text.data(), count, found, rgb);
    bool tooWide = false;
    auto take = [&found, &tooWide, count, rgb](const VeltariLedColor& record) {
        if (found == count) {
            ++found;
            return false;
        }
        if (static_cast<unsigned>(record.r | record.g | record.b) > 0xFFFF) {
            tooWide = true;
            return false;
        }
        std::uint16_t* to = rgb + 3 * static_cast<std::ptrdiff_t>(found++);
        to[0] = static_cast<std::uint16_t>(record.r);
        to[1] = static_cast<std::uint16_t>(record.g);
        to[2] = static_cast<std::uint16_t>(record.b);
        return true;
    };
    const char* rest = DecodePlainRecords(p, end, take);
    return !tooWide && (rest == nullptr || rest == end) ? found : -1;
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
    return DecodeLedColorsIntoWith(ProcessorRecordReader(), text, count, colors);
}

bool DecodeLedColorsIntoWith(WideRecordReader wide, std::string_view text, int count,
                             VeltariLedColor* colors) {
    constexpr int kMostRecords = kMaxLedId + 1;
    if (count < 0) return false;
    if (count <= kMostRecords) {
        // Read into a block of its own first: the caller's records change only once the count is right.
        std::uint16_t rgb[3 * kMostRecords];
        const int found = DecodePlainColors(text, count, rgb, wide);
        if (found >= 0) {
            if (found != count) return false;
            const std::uint16_t* from = rgb;
            for (int i = 0; i < count; ++i, from += 3) {
                colors[i].r = from[0];
                colors[i].g = from[1];
                colors[i].b = from[2];
            }
            return true;
        }
    }
    // Any other text: read straight into the caller's records, and a list of the wrong length then puts
    // back the colours they had. A count beyond any list that passes the checks is counted first.
    if (count > kMostRecords) {
        int found = 0;
        DecodeRecords(text, [&found, count](const VeltariLedColor&) { return ++found <= count; });
        if (found != count) return false;
    }
    VeltariLedColor before[kMostRecords];
    const int kept = std::min(count, kMostRecords);
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
