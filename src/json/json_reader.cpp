// A tolerant recursive-descent reader. It never reports an error: text it cannot take reads as the
// invalid value, and since an invalid element or member makes its whole container invalid, the first
// failure abandons the whole text.
#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

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

// Powers of ten that a double holds exactly.
constexpr double kExactPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                   1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// The values read so far of every container still open, innermost last; a container takes its own off the
// top when it closes, so each container is allocated once at its final size. Moved by their bytes.
class ValueStack {
public:
    ValueStack() = default;
    ValueStack(const ValueStack&) = delete;
    ValueStack& operator=(const ValueStack&) = delete;
    ~ValueStack() {
        for (std::size_t i = 0; i < size_; ++i) data_[i].~Json();
        if (data_ != Inline()) ::operator delete(data_);
    }

    std::size_t Size() const { return size_; }
    Json* At(std::size_t position) { return data_ + position; }

    void Push(Json&& value) {
        if (size_ == capacity_) Grow();
        new (data_ + size_) Json(std::move(value));
        ++size_;
    }

    // Gives back grown storage above `keptBytes`; only while empty.
    void Trim(std::size_t keptBytes) {
        if (data_ == Inline() || capacity_ * sizeof(Json) <= keptBytes) return;
        ::operator delete(data_);
        data_ = Inline();
        capacity_ = kInline;
    }

    // Drops the values from position on; what they held was moved out already.
    void Forget(std::size_t position) { size_ = position; }

    // Destroys the values from position on.
    void Drop(std::size_t position) {
        for (std::size_t i = position; i < size_; ++i) data_[i].~Json();
        size_ = position;
    }

private:
    void Grow() {
        const std::size_t capacity = capacity_ * 4;
        auto* grown = static_cast<Json*>(::operator new(capacity * sizeof(Json)));
        std::memcpy(static_cast<void*>(grown), data_, size_ * sizeof(Json));
        if (data_ != Inline()) ::operator delete(data_);
        data_ = grown;
        capacity_ = capacity;
    }

    Json* Inline() { return reinterpret_cast<Json*>(inline_); }

    static constexpr std::size_t kInline = 64;
    alignas(Json) unsigned char inline_[kInline * sizeof(Json)];
    Json* data_ = Inline();
    std::size_t size_ = 0;
    std::size_t capacity_ = kInline;
};

// What a reader works in besides the text: the stack of open containers, the text of an escaped string,
// and where blocks come from (the heap when there is no arena).
struct ReaderMemory {
    ValueStack stack;
    std::string text;
    JsonArena* arena = nullptr;
};

class Reader {
public:
    Reader(std::string_view text, ReaderMemory& memory)
        : data_(text.data()),
          size_(text.size()),
          text_(memory.text),
          stack_(memory.stack),
          arena_(memory.arena) {}
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;
    // A failed read leaves values on the stack; they go here, so the stack starts empty next time.
    ~Reader() { stack_.Drop(0); }

    // Reads the value at the current position onto the stack; false when the text is not readable there.
    bool ReadValue(int depth) {
        Skip();
        if (failed_) return false;
        const int c = Peek();
        if (c == '-' || IsDigit(c)) return ReadNumber();
        if (c == 'n') return ReadLiteral("null") && Push(Json());
        if (c == 'f') return ReadLiteral("false") && Push(Json(false));
        if (c == 't') return ReadLiteral("true") && Push(Json(true));
        Take();
        switch (c) {
            case '"':
                return ReadString();
            case '[':
                return ReadArray(depth + 1);
            case '{':
                return ReadObject(depth + 1);
            default:
                return false;
        }
    }

    Json Result() {
        if (stack_.Size() != 1) return Json::Invalid();
        Json value(std::move(*stack_.At(0)));
        stack_.Forget(0);
        return value;
    }

private:
    static constexpr int kEnd = -1;

    bool Push(Json&& value) {
        stack_.Push(std::move(value));
        return true;
    }

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
    bool ReadNumber() {
        const std::size_t start = pos_;
        const bool negative = Peek() == '-';
        if (negative) ++pos_;
        // The digits as an integer while they fit, and the power of ten that scales it.
        std::uint64_t significand = 0;
        int significantDigits = 0;
        int scale = 0;
        bool digits = false;
        for (; IsDigit(Peek()); ++pos_) {
            digits = true;
            if (significand != 0 || data_[pos_] != '0') {
                if (significantDigits < 19) {
                    significand = significand * 10 + static_cast<unsigned>(data_[pos_] - '0');
                } else {
                    ++scale;
                }
                ++significantDigits;
            }
        }
        if (Peek() == '.') {
            for (++pos_; IsDigit(Peek()); ++pos_) {
                digits = true;
                if (significand != 0 || data_[pos_] != '0') {
                    if (significantDigits < 19) {
                        significand = significand * 10 + static_cast<unsigned>(data_[pos_] - '0');
                        --scale;
                    }
                    ++significantDigits;
                } else {
                    --scale;
                }
            }
        }
        bool readable = digits;
        int exponent = 0;
        if (digits && (Peek() == 'e' || Peek() == 'E')) {
            ++pos_;
            const bool negativeExponent = Peek() == '-';
            if (Peek() == '+' || Peek() == '-') ++pos_;
            readable = false;
            for (; IsDigit(Peek()); ++pos_) {
                readable = true;
                if (exponent < 100000) exponent = exponent * 10 + (data_[pos_] - '0');
            }
            if (negativeExponent) exponent = -exponent;
        }
        if (!readable) {
            failed_ = true;
            return false;
        }
        // Exact whenever the digits and the power of ten are both exact doubles: one rounding, the
        // correct one. Anything else goes to the full conversion.
        const int power = scale + exponent;
        if (significantDigits <= 15 && power >= -22 && power <= 22) {
            double value = static_cast<double>(significand);
            value = power < 0 ? value / kExactPowers[-power] : value * kExactPowers[power];
            return Push(Json(negative ? -value : value));
        }
        const char* first = data_ + start;
        const char* last = data_ + pos_;
        double value = 0.0;
        const auto result = std::from_chars(first, last, value);
        if (result.ec == std::errc::result_out_of_range) {
            // Too small to represent reads as zero, as the stream has it; too large is unreadable.
            if (Overflows(std::string_view(first, last - first))) {
                failed_ = true;
                return false;
            }
            value = negative ? -0.0 : 0.0;
        } else if (result.ec != std::errc() || result.ptr != last) {
            failed_ = true;
            return false;
        }
        return Push(Json(value));
    }

    // The opening quote is already taken. A backslash starts an escape only before one of the escape
    // letters or a quote; before anything else it stands for itself. Text that ends before the closing
    // quote gives what was read so far.
    bool ReadString() {
        const char* from = data_ + pos_;
        // Names and short values end within a few bytes, sooner than a library search gets going.
        const char* shortEnd = data_ + (size_ - pos_ < 24 ? size_ : pos_ + 24);
        for (const char* p = from; p < shortEnd && *p != '\\'; ++p) {
            if (*p == '"') {
                pos_ = static_cast<std::size_t>(p - data_) + 1;
                return Push(JsonAccess::MakeString(std::string_view(from, static_cast<std::size_t>(p - from)),
                                                   arena_));
            }
        }
        const auto* quote = static_cast<const char*>(std::memchr(from, '"', size_ - pos_));
        const char* end = quote != nullptr ? quote : data_ + size_;
        // Without a backslash the text is the run up to the quote, taken as it stands.
        if (std::memchr(from, '\\', static_cast<std::size_t>(end - from)) == nullptr) {
            pos_ = static_cast<std::size_t>(end - data_);
            Take();
            return Push(
                JsonAccess::MakeString(std::string_view(from, static_cast<std::size_t>(end - from)), arena_));
        }
        ReadEscapedString();
        return Push(JsonAccess::MakeString(std::string_view(text_), arena_));
    }

    void ReadEscapedString() {
        text_.clear();
        // The next quote at or after the position (or the end of the text), found again only once an
        // escaped quote has been passed: runs of plain characters are found with memchr, which moves many
        // bytes per step.
        const char* quote = nullptr;
        for (;;) {
            const char* from = data_ + pos_;
            if (quote == nullptr || quote < from) {
                quote = static_cast<const char*>(std::memchr(from, '"', size_ - pos_));
                if (quote == nullptr) quote = data_ + size_;
            }
            const auto* backslash =
                static_cast<const char*>(std::memchr(from, '\\', static_cast<std::size_t>(quote - from)));
            const std::size_t end =
                static_cast<std::size_t>((backslash != nullptr ? backslash : quote) - data_);
            text_.append(data_ + pos_, end - pos_);
            pos_ = end;
            const int c = Take();
            if (c == '"' || c == kEnd) return;
            if (pos_ < size_) {
                const int unescaped = Unescape(data_[pos_]);
                if (unescaped >= 0) {
                    ++pos_;
                    text_.push_back(static_cast<char>(unescaped));
                    continue;
                }
            }
            text_.push_back('\\');
        }
    }

    // The "[" is already taken. An empty array reads as null.
    bool ReadArray(int depth) {
        if (depth > Json::kMaxDepth) return false;
        Skip();
        if (failed_) return false;
        if (Peek() == ']') {
            ++pos_;
            return Push(Json());
        }
        const std::size_t first = stack_.Size();
        for (;;) {
            if (!ReadValue(depth)) return false;
            Skip();
            if (failed_ || Peek() != ',') break;
            ++pos_;
        }
        if (failed_ || Take() != ']') return false;
        Json array = JsonAccess::MakeArray(stack_.At(first),
                                           static_cast<std::uint32_t>(stack_.Size() - first), arena_);
        stack_.Forget(first);
        return Push(std::move(array));
    }

    // The "{" is already taken. An empty object reads as null; of members named twice the later wins.
    bool ReadObject(int depth) {
        if (depth > Json::kMaxDepth) return false;
        Skip();
        if (failed_) return false;
        const int opening = Take();
        if (opening == '}') return Push(Json());
        if (opening != '"') return false;
        const std::size_t first = stack_.Size();
        for (;;) {
            ReadString();
            Skip();
            if (failed_ || Take() != ':') return false;
            if (!ReadValue(depth)) return false;
            Skip();
            if (failed_ || Peek() != ',') break;
            ++pos_;
            Skip();
            if (Take() != '"') return false;
        }
        if (failed_ || Take() != '}') return false;
        // Names and values lie on the stack in pairs, the layout of an object's members.
        static_assert(sizeof(JsonMember) == 2 * sizeof(Json));
        Json object = JsonAccess::MakeObject(reinterpret_cast<JsonMember*>(stack_.At(first)),
                                             static_cast<std::uint32_t>((stack_.Size() - first) / 2), arena_);
        stack_.Forget(first);
        return Push(std::move(object));
    }

    const char* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
    bool failed_ = false;
    std::string& text_;  // an escaped string as it is unescaped
    ValueStack& stack_;
    JsonArena* arena_;
};

}  // namespace

Json Json::Parse(std::string_view text) {
    ReaderMemory memory;
    Reader reader(text, memory);
    if (!reader.ReadValue(0)) return Invalid();
    return reader.Result();
}

struct JsonDocument::Memory {
    JsonArena arena;
    ReaderMemory reader;
};

JsonDocument::JsonDocument() : memory_(std::make_unique<Memory>()) {
    memory_->reader.arena = &memory_->arena;
}

JsonDocument::~JsonDocument() = default;

const Json& JsonDocument::Parse(std::string_view text) {
    root_ = Json::Invalid();
    memory_->arena.Reset(kKeptBytes);
    // Values take about four times the bytes of their text: most documents then fit in the first chunk,
    // and a huge one takes more chunks rather than one first chunk sized from a guess.
    memory_->arena.Prepare(std::min(text.size(), kKeptBytes / 4) * 4);
    {
        Reader reader(text, memory_->reader);
        if (reader.ReadValue(0)) root_ = reader.Result();
    }
    memory_->reader.stack.Trim(kKeptBytes);
    if (memory_->reader.text.capacity() > kKeptBytes) std::string().swap(memory_->reader.text);
    return root_;
}

}  // namespace sdk
