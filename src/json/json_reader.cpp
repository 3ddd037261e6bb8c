// A tolerant recursive-descent reader. It never reports an error: text it cannot take reads as the
// invalid value, and since an invalid element or member makes its whole container invalid, the first
// failure abandons the whole text.
#include <charconv>
#include <cstddef>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "json/json.h"
#include "json/json_value.h"

namespace sdk {

namespace {

bool IsDigit(int c) {
    return c >= '0' && c <= '9';
}

// Only graphic ASCII is significant between tokens; white space, control bytes, DEL and every byte from
// 0x80 up are passed over alike.
bool IsGraphic(char c) {
    return c >= 0x21 && c <= 0x7E;
}

// The character an escape letter stands for, or -1 when the letter starts no escape.
int Unescape(char letter) {
    switch (letter) {
        case 'b':
            return 0x08;
        case 'f':
            return 0x0C;
        case 'n':
            return 0x0A;
        case 'r':
            return 0x0D;
        case 't':
            return 0x09;
        case '\0':
            return 0x00;
        case '"':
            return '"';
        default:
            return -1;
    }
}

// Whether a number that the conversion reports out of range overflows (rather than underflows). The text
// is already known to be well formed: optional '-', digits with an optional '.', optional exponent.
bool Overflows(std::string_view number) {
    std::size_t i = number.empty() || number[0] != '-' ? 0 : 1;
    // The decimal exponent of the first significant digit, counted so that the value is 0.d... x 10^scale.
    long long scale = 0;
    bool significant = false;
    for (; i < number.size() && IsDigit(number[i]); ++i) {
        significant = significant || number[i] != '0';
        if (significant) ++scale;
    }
    if (i < number.size() && number[i] == '.') {
        for (++i; i < number.size() && IsDigit(number[i]); ++i) {
            if (significant) continue;
            if (number[i] != '0')
                significant = true;
            else
                --scale;
        }
    }
    long long exponent = 0;
    if (i < number.size() && (number[i] == 'e' || number[i] == 'E')) {
        ++i;
        const bool negative = i < number.size() && number[i] == '-';
        if (i < number.size() && (number[i] == '-' || number[i] == '+')) ++i;
        for (; i < number.size() && IsDigit(number[i]); ++i) {
            if (exponent < 1000000000) exponent = exponent * 10 + (number[i] - '0');
        }
        if (negative) exponent = -exponent;
    }
    return significant && scale + exponent > 0;
}

class Reader {
public:
    explicit Reader(std::string_view text) : data_(text.data()), size_(text.size()) {}

    // The value at the current position, or nullptr when the text is not readable there.
    std::unique_ptr<JsonValue> ReadValue(int depth) {
        Skip();
        if (failed_) return nullptr;
        const int c = Peek();
        if (c == '-' || IsDigit(c)) return ReadNumber();
        if (c == 'n') return ReadLiteral("null") ? std::make_unique<JsonNullValue>() : nullptr;
        if (c == 'f') return ReadLiteral("false") ? std::make_unique<JsonBoolValue>(false) : nullptr;
        if (c == 't') return ReadLiteral("true") ? std::make_unique<JsonBoolValue>(true) : nullptr;
        Take();
        switch (c) {
            case '"':
                return std::make_unique<JsonStringValue>(ReadString());
            case '[':
                return ReadArray(depth + 1);
            case '{':
                return ReadObject(depth + 1);
            default:
                return nullptr;
        }
    }

private:
    static constexpr int kEnd = -1;

    int Peek() const { return pos_ < size_ ? static_cast<unsigned char>(data_[pos_]) : kEnd; }

    // Taking past the end marks the source failed for good.
    int Take() {
        if (pos_ < size_) return static_cast<unsigned char>(data_[pos_++]);
        failed_ = true;
        return kEnd;
    }

    void Skip() {
        while (pos_ < size_ && !IsGraphic(data_[pos_])) ++pos_;
    }

    // Takes up to the literal's length in characters, stopping early at the end or before a line feed;
    // the characters are taken whether they match or not.
    bool ReadLiteral(std::string_view literal) {
        bool matches = true;
        std::size_t count = 0;
        for (; count < literal.size() && pos_ < size_ && data_[pos_] != '\n'; ++count, ++pos_) {
            matches = matches && data_[pos_] == literal[count];
        }
        return matches && count == literal.size();
    }

    // What a formatted stream extraction of a double takes: '-', digits, an optional fraction and an
    // optional exponent. It stops before the first character that cannot continue the number; an
    // exponent marker without digits makes the whole number unreadable, as it does for the stream.
    std::unique_ptr<JsonValue> ReadNumber() {
        const std::size_t start = pos_;
        if (Peek() == '-') ++pos_;
        bool digits = false;
        for (; IsDigit(Peek()); ++pos_) digits = true;
        if (Peek() == '.') {
            for (++pos_; IsDigit(Peek()); ++pos_) digits = true;
        }
        bool readable = digits;
        if (digits && (Peek() == 'e' || Peek() == 'E')) {
            ++pos_;
            if (Peek() == '+' || Peek() == '-') ++pos_;
            readable = false;
            for (; IsDigit(Peek()); ++pos_) readable = true;
        }
        if (!readable) {
            failed_ = true;
            return nullptr;
        }
        const char* first = data_ + start;
        const char* last = data_ + pos_;
        double value = 0.0;
        const auto result = std::from_chars(first, last, value);
        if (result.ec == std::errc::result_out_of_range) {
            // Too small to represent reads as zero, as the stream has it; too large is unreadable.
            if (Overflows(std::string_view(first, last - first))) {
                failed_ = true;
                return nullptr;
            }
            value = *first == '-' ? -0.0 : 0.0;
        } else if (result.ec != std::errc() || result.ptr != last) {
            failed_ = true;
            return nullptr;
        }
        return std::make_unique<JsonNumberValue>(value);
    }

    // The opening quote is already taken. A backslash starts an escape only before one of the escape
    // letters or a quote; before anything else it stands for itself. Text that ends before the closing
    // quote gives what was read so far.
    std::string ReadString() {
        std::string text;
        // The next quote at or after the position (or the end of the text), found again only once an
        // escaped quote has been passed: runs of plain characters are found with memchr, which moves many
        // bytes per step, and strings such as a whole keyboard's colours are long.
        const char* quote = nullptr;
        for (;;) {
            const char* from = data_ + pos_;
            if (quote == nullptr || quote < from) {
                quote = static_cast<const char*>(std::memchr(from, '"', size_ - pos_));
                if (quote == nullptr) {
                    quote = data_ + size_;
                }
            }
            const auto* backslash =
                static_cast<const char*>(std::memchr(from, '\\', static_cast<std::size_t>(quote - from)));
            const std::size_t end =
                static_cast<std::size_t>((backslash != nullptr ? backslash : quote) - data_);
            text.append(data_ + pos_, end - pos_);
            pos_ = end;
            const int c = Take();
            if (c == '"' || c == kEnd) return text;
            if (pos_ < size_) {
                const int unescaped = Unescape(data_[pos_]);
                if (unescaped >= 0) {
                    ++pos_;
                    text.push_back(static_cast<char>(unescaped));
                    continue;
                }
            }
            text.push_back('\\');
        }
    }

    // The "[" is already taken. An empty array reads as null.
    std::unique_ptr<JsonValue> ReadArray(int depth) {
        if (depth > Json::kMaxDepth) return nullptr;
        Skip();
        if (failed_) return nullptr;
        if (Peek() == ']') {
            ++pos_;
            return std::make_unique<JsonNullValue>();
        }
        auto array = std::make_unique<JsonArrayValue>();
        for (;;) {
            std::unique_ptr<JsonValue> element = ReadValue(depth);
            if (!element) return nullptr;
            array->Append(Json(std::move(element)));
            Skip();
            if (failed_ || Peek() != ',') break;
            ++pos_;
        }
        if (failed_ || Take() != ']') return nullptr;
        return array;
    }

    // The "{" is already taken. An empty object reads as null; of members named twice the later wins.
    std::unique_ptr<JsonValue> ReadObject(int depth) {
        if (depth > Json::kMaxDepth) return nullptr;
        Skip();
        if (failed_) return nullptr;
        const int first = Take();
        if (first == '}') return std::make_unique<JsonNullValue>();
        if (first != '"') return nullptr;
        auto object = std::make_unique<JsonObjectValue>();
        // Most objects in responses are records of a handful of members; one allocation serves them.
        object->Reserve(8);
        for (;;) {
            std::string name = ReadString();
            Skip();
            if (failed_ || Take() != ':') return nullptr;
            std::unique_ptr<JsonValue> value = ReadValue(depth);
            if (!value) return nullptr;
            object->Set(std::move(name), Json(std::move(value)));
            Skip();
            if (failed_ || Peek() != ',') break;
            ++pos_;
            Skip();
            if (Take() != '"') return nullptr;
        }
        if (failed_ || Take() != '}') return nullptr;
        return object;
    }

    const char* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
    bool failed_ = false;
};

}  // namespace

Json Json::Parse(std::string_view text) {
    Reader reader(text);
    std::unique_ptr<JsonValue> value = reader.ReadValue(0);
    return value ? Json(std::move(value)) : Invalid();
}

}  // namespace sdk
