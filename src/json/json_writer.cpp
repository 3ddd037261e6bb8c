// Compact text: no white space, a minimal set of escapes, members in the order they were set.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

#include "json/json.h"
#include "json/json_value.h"
#include "json/json_writer.h"

namespace sdk {

namespace {

// The escape letter written after a backslash for each byte, or 0 for a byte written as it is. The
// backslash itself is not escaped: the reader has no escape for it.
struct EscapeTable {
    char letter[256] = {};
    constexpr EscapeTable() {
        letter[static_cast<unsigned char>('"')] = '"';
        letter[0x08] = 'b';
        letter[0x0C] = 'f';
        letter[0x0A] = 'n';
        letter[0x0D] = 'r';
        letter[0x09] = 't';
    }
};
constexpr EscapeTable kEscapes;

// Whether any of the eight bytes of `word` may need an escape: a control byte below 0x0E (which covers
// NUL, backspace, tab, line feed, form feed and carriage return) or a double quote. Plain text is then
// passed over a word at a time; a word that may hold one is looked at byte by byte.
bool MayNeedEscape(std::uint64_t word) {
    constexpr std::uint64_t kOnes = 0x0101010101010101ull;
    constexpr std::uint64_t kHighs = 0x8080808080808080ull;
    const std::uint64_t quotes = word ^ (kOnes * '"');
    const bool hasQuote = ((quotes - kOnes) & ~quotes & kHighs) != 0;
    const bool hasLow = ((word - kOnes * 0x0E) & ~word & kHighs) != 0;
    return hasQuote || hasLow;
}

void WriteQuoted(std::string& sink, std::string_view text) {
    sink.push_back('"');
    std::size_t runStart = 0;
    std::size_t i = 0;
    while (i < text.size()) {
        if (text.size() - i >= 8) {
            std::uint64_t word;
            std::memcpy(&word, text.data() + i, sizeof word);
            if (!MayNeedEscape(word)) {
                i += 8;
                continue;
            }
        }
        const unsigned char byte = static_cast<unsigned char>(text[i]);
        const char letter = kEscapes.letter[byte];
        // NUL is written as a backslash followed by the NUL byte itself.
        if (letter == 0 && byte != 0) {
            ++i;
            continue;
        }
        sink.append(text.data() + runStart, i - runStart);
        sink.push_back('\\');
        sink.push_back(byte == 0 ? '\0' : letter);
        runStart = ++i;
    }
    sink.append(text.data() + runStart, text.size() - runStart);
    sink.push_back('"');
}

// The rule for every number: six significant digits in general notation whenever that text reads back as
// the same number, otherwise the shortest text that does, so no written number loses its value. Applied
// literally to zero and subnormals, which carry too few digits for the shortcut below.
void WriteSubnormal(std::string& sink, double value) {
    char buffer[64];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, 6);
    double read = 0.0;
    const auto back = std::from_chars(buffer, result.ptr, read);
    if (back.ec != std::errc() || back.ptr != result.ptr || read != value) {
        result = std::to_chars(buffer, buffer + sizeof buffer, value);
    }
    sink.append(buffer, result.ptr);
}

// For normal numbers, which carry nearly sixteen digits, the six-digit text reads back exactly precisely
// when the shortest exact text has at most six digits, and then both hold the same digits; so the shortest
// digits are found once and laid out the way the general notation lays them out.
void WriteFraction(std::string& sink, double value) {
    if (std::fabs(value) < std::numeric_limits<double>::min()) return WriteSubnormal(sink, value);
    char scientific[32];
    char* end =
        std::to_chars(scientific, scientific + sizeof scientific, value, std::chars_format::scientific).ptr;
    const char* marker = std::find(scientific + 0, end, 'e');
    const char* first = scientific + (scientific[0] == '-' ? 1 : 0);
    char digits[24];
    int digitCount = 0;
    for (const char* c = first; c != marker; ++c) {
        if (*c != '.') digits[digitCount++] = *c;
    }
    if (digitCount > 6) {
        char shortest[32];
        sink.append(shortest, std::to_chars(shortest, shortest + sizeof shortest, value).ptr);
        return;
    }
    int exponent = 0;
    std::from_chars(marker + (marker[1] == '+' ? 2 : 1), end, exponent);
    if (exponent < -4 || exponent >= 6) {
        // The shortest scientific text has no trailing zeros and a two-digit exponent at least, as the
        // general notation writes it.
        sink.append(scientific, static_cast<std::size_t>(end - scientific));
        return;
    }
    if (first != scientific) sink.push_back('-');
    if (exponent < 0) {
        sink.append("0.");
        sink.append(static_cast<std::size_t>(-exponent - 1), '0');
        sink.append(digits, digitCount);
    } else if (digitCount <= exponent + 1) {
        sink.append(digits, digitCount);
        sink.append(static_cast<std::size_t>(exponent + 1 - digitCount), '0');
    } else {
        sink.append(digits, exponent + 1);
        sink.push_back('.');
        sink.append(digits + exponent + 1, digitCount - exponent - 1);
    }
}

// Numbers such as 15.5 or 0.25, the bulk of what positions and sizes hold: when the value times 10^k is
// an integer d of at most six digits for some k up to 6, and d / 10^k gives the value back, then d over
// 10^k is the shortest exact text, and with a magnitude from 0.0001 up to a million the general notation
// writes it in fixed form. Found without converting to scientific text and back.
bool WriteShortFraction(std::string& sink, double value) {
    constexpr double kPowers[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6};
    const double magnitude = std::fabs(value);
    if (!(magnitude >= 1e-4 && magnitude < 1e6)) return false;
    for (int k = 1; k <= 6; ++k) {
        const double scaled = magnitude * kPowers[k];
        if (scaled >= 1e6) return false;
        const auto digits = static_cast<std::uint32_t>(scaled);
        if (static_cast<double>(digits) != scaled) continue;
        if (static_cast<double>(digits) / kPowers[k] != magnitude) return false;
        char text[16];
        char* end = text + sizeof text;
        char* p = end;
        std::uint32_t rest = digits;
        int fraction = k;
        while (fraction > 0 && rest % 10 == 0) {
            rest /= 10;
            --fraction;
        }
        for (int i = 0; i < fraction; ++i, rest /= 10) *--p = static_cast<char>('0' + rest % 10);
        *--p = '.';
        do {
            *--p = static_cast<char>('0' + rest % 10);
            rest /= 10;
        } while (rest != 0);
        if (value < 0) *--p = '-';
        sink.append(p, static_cast<std::size_t>(end - p));
        return true;
    }
    return false;
}

void WriteNumber(std::string& sink, double value) {
    // Infinities and NaN have no text the reader takes, and writing them would spoil the whole text;
    // they cannot be read, only built by code, and are written as null.
    if (!std::isfinite(value)) {
        sink.append("null");
        return;
    }
    // Integers of up to six digits: the common case, and written the same by every rule.
    if (value > -1e6 && value < 1e6 && value == static_cast<double>(static_cast<std::int32_t>(value)) &&
        !(value == 0.0 && std::signbit(value))) {
        char buffer[16];
        sink.append(buffer,
                    std::to_chars(buffer, buffer + sizeof buffer, static_cast<std::int32_t>(value)).ptr);
        return;
    }
    if (WriteShortFraction(sink, value)) return;
    WriteFraction(sink, value);
}

void WriteValue(std::string& sink, const Json& value) {
    using Tag = JsonAccess::Tag;
    switch (JsonAccess::TagOf(value)) {
        case Tag::kInvalid:
            return;
        case Tag::kNull:
            sink.append("null");
            return;
        case Tag::kBool:
            sink.append(value.AsBool() ? "true" : "false");
            return;
        case Tag::kNumber:
            WriteNumber(sink, value.AsDouble());
            return;
        case Tag::kSmallString:
        case Tag::kLongString:
            WriteQuoted(sink, JsonAccess::Text(value));
            return;
        case Tag::kArray: {
            sink.push_back('[');
            if (JsonArrayBlock* block = JsonAccess::Array(value)) {
                for (std::uint32_t i = 0; i < block->size; ++i) {
                    if (i > 0) sink.push_back(',');
                    WriteValue(sink, block->Elements()[i]);
                }
            }
            sink.push_back(']');
            return;
        }
        case Tag::kObject: {
            sink.push_back('{');
            if (JsonObjectBlock* block = JsonAccess::Object(value)) {
                for (std::uint32_t i = 0; i < block->size; ++i) {
                    if (i > 0) sink.push_back(',');
                    const JsonMember& member = block->Members()[i];
                    WriteQuoted(sink, JsonAccess::Text(member.name));
                    sink.push_back(':');
                    WriteValue(sink, member.value);
                }
            }
            sink.push_back('}');
            return;
        }
    }
}

}  // namespace

void AppendJsonString(std::string& sink, std::string_view text) {
    WriteQuoted(sink, text);
}

void AppendJsonNumber(std::string& sink, double value) {
    WriteNumber(sink, value);
}

void JsonWriter::QuotedWithEscapes(std::string_view text, char after) {
    Separate();
    WriteQuoted(sink_, text);
    if (after != 0) sink_.push_back(after);
}

void JsonWriter::AppendInt(int number) {
    // The number rule writes integers of up to six digits as they are, and the rest like any number.
    if (number > -1000000 && number < 1000000) {
        char buffer[16];
        sink_.append(buffer, std::to_chars(buffer, buffer + sizeof buffer, number).ptr);
    } else {
        AppendJsonNumber(sink_, number);
    }
}

std::string Json::ToText() const {
    std::string text;
    text.reserve(128);
    WriteValue(text, *this);
    return text;
}

void Json::WriteText(std::string& sink) const {
    WriteValue(sink, *this);
}

}  // namespace sdk
