// Writing JSON text straight into a buffer, without building values first: for messages whose shape is
// fixed, such as requests. The text is the same as Json::ToText gives for the value of the same shape.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace sdk {

// Appends text as a quoted, escaped string; the writer's one rule for strings and member names.
void AppendJsonString(std::string& sink, std::string_view text);
// Appends the text of a number; the writer's one rule for numbers.
void AppendJsonNumber(std::string& sink, double value);

// Appends compact JSON text to a string. Separators are placed by the writer: each value or member name
// after the first of its container is preceded by a comma. The caller keeps the structure balanced (every
// Begin has its End, every member name is followed by one value); the writer does not check it.
//
//     std::string text;
//     JsonWriter writer(text);
//     writer.BeginObject();
//     writer.Name("method");
//     writer.String("VeltariGetDeviceInfo");
//     writer.Name("params");
//     writer.BeginObject();
//     writer.Name("deviceIndex");
//     writer.Number(2);
//     writer.EndObject();
//     writer.EndObject();   // {"method":"VeltariGetDeviceInfo","params":{"deviceIndex":2}}
//
// Not synchronised: one writer, and its string, per thread at a time.
class JsonWriter {
public:
    explicit JsonWriter(std::string& sink) : sink_(sink) {}

    void BeginObject() { Open('{'); }
    void EndObject() { Close('}'); }
    void BeginArray() { Open('['); }
    void EndArray() { Close(']'); }

    // A member name; the member's value comes next.
    void Name(std::string_view name) {
        Quoted(name, ':');
        comma_ = false;
    }

    void String(std::string_view text) { Quoted(text, 0); }
    void Number(int number) {
        Separate();
        AppendInt(number);
    }
    void Number(double number) {
        Separate();
        AppendJsonNumber(sink_, number);
    }
    void Bool(bool value) {
        Separate();
        sink_.append(value ? "true" : "false");
    }
    void Null() {
        Separate();
        sink_.append("null");
    }

    // A string whose content the caller appends to the returned buffer itself, between BeginString and
    // EndString, to spare a copy of long texts. The content is not escaped: it must hold no double
    // quote and none of the bytes 0x00, 0x08, 0x09, 0x0A, 0x0C, 0x0D.
    std::string& BeginString() {
        Separate();
        sink_.push_back('"');
        return sink_;
    }
    void EndString() { sink_.push_back('"'); }

    // Room for about this many more bytes, so that a long message is written without regrowing.
    void Reserve(std::size_t bytes) { sink_.reserve(sink_.size() + bytes); }

private:
    void Separate() {
        if (comma_) sink_.push_back(',');
        comma_ = true;
    }
    void Open(char bracket) {
        Separate();
        sink_.push_back(bracket);
        comma_ = false;
    }
    void Close(char bracket) {
        sink_.push_back(bracket);
        comma_ = true;
    }
    void AppendInt(int number);
    // The separator due, then `text` as a JSON string and `after` unless it is 0. A short text without
    // escapes, as names and method names are, goes out in one append: each append of a small request waits
    // on the length the one before stored. Inline, so that a literal name is checked and copied as a
    // constant.
    void Quoted(std::string_view text, char after) {
        constexpr std::size_t kShort = 48;
        bool plain = text.size() <= kShort;
        for (std::size_t i = 0; plain && i < text.size(); ++i) {
            const auto byte = static_cast<unsigned char>(text[i]);
            plain = byte != '"' && byte >= 0x0E;
        }
        if (!plain) return QuotedWithEscapes(text, after);
        char piece[kShort + 4];
        std::size_t length = 0;
        if (comma_) piece[length++] = ',';
        comma_ = true;
        piece[length++] = '"';
        for (const char c : text) piece[length++] = c;
        piece[length++] = '"';
        if (after != 0) piece[length++] = after;
        sink_.append(piece, length);
    }
    void QuotedWithEscapes(std::string_view text, char after);

    std::string& sink_;
    bool comma_ = false;
};

}  // namespace sdk
