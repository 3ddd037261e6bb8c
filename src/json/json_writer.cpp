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
    WriteFraction(sink, value);
}

}  // namespace

void JsonInvalidValue::WriteText(std::string&) const {}

void JsonNullValue::WriteText(std::string& sink) const {
    sink.append("null");
}

void JsonBoolValue::WriteText(std::string& sink) const {
    sink.append(value_ ? "true" : "false");
}

void JsonNumberValue::WriteText(std::string& sink) const {
    WriteNumber(sink, value_);
}

void JsonStringValue::WriteText(std::string& sink) const {
    WriteQuoted(sink, text_);
}

void JsonArrayValue::WriteText(std::string& sink) const {
    sink.push_back('[');
    bool first = true;
    for (const Json& element : elements_) {
        if (!first) sink.push_back(',');
        first = false;
        element.WriteText(sink);
    }
    sink.push_back(']');
}

void JsonObjectValue::WriteText(std::string& sink) const {
    sink.push_back('{');
    bool first = true;
    for (const Entry& entry : entries_) {
        if (!first) sink.push_back(',');
        first = false;
        WriteQuoted(sink, entry.name);
        sink.push_back(':');
        entry.value.WriteText(sink);
    }
    sink.push_back('}');
}

std::string Json::ToText() const {
    std::string text;
    text.reserve(128);
    WriteText(text);
    return text;
}

void Json::WriteText(std::string& sink) const {
    if (value_) value_->WriteText(sink);
}

}  // namespace sdk
