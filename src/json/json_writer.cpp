// Compact text: no white space, a minimal set of escapes, members in the order they were set.
#include <charconv>
#include <cmath>
#include <cstdint>
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

void WriteQuoted(std::string& sink, std::string_view text) {
    sink.push_back('"');
    std::size_t runStart = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const unsigned char byte = static_cast<unsigned char>(text[i]);
        const char letter = kEscapes.letter[byte];
        // NUL is written as a backslash followed by the NUL byte itself.
        if (letter == 0 && byte != 0) continue;
        sink.append(text.data() + runStart, i - runStart);
        sink.push_back('\\');
        sink.push_back(byte == 0 ? '\0' : letter);
        runStart = i + 1;
    }
    sink.append(text.data() + runStart, text.size() - runStart);
    sink.push_back('"');
}

bool ReadsBackAs(const char* first, const char* last, double value) {
    double read = 0.0;
    const auto result = std::from_chars(first, last, read);
    return result.ec == std::errc() && result.ptr == last && read == value &&
           std::signbit(read) == std::signbit(value);
}

void WriteNumber(std::string& sink, double value) {
    // Infinities and NaN have no text the reader takes, and writing them would spoil the whole text;
    // they cannot be read, only built by code, and are written as null.
    if (!std::isfinite(value)) {
        sink.append("null");
        return;
    }
    char buffer[64];
    // Integers of up to six digits: the common case, and written the same by every rule below.
    if (value > -1e6 && value < 1e6 && value == static_cast<double>(static_cast<std::int32_t>(value)) &&
        !(value == 0.0 && std::signbit(value))) {
        const auto result = std::to_chars(buffer, buffer + sizeof buffer, static_cast<std::int32_t>(value));
        sink.append(buffer, result.ptr);
        return;
    }
    // Six significant digits in general notation, as long as that text reads back as the same number;
    // otherwise the shortest text that does, so no written number loses its value.
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, 6);
    if (!ReadsBackAs(buffer, result.ptr, value)) {
        result = std::to_chars(buffer, buffer + sizeof buffer, value);
    }
    sink.append(buffer, result.ptr);
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
