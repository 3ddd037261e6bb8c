// The JSON value model: one forgiving value type. No operation fails; asking a value for something its
// kind does not have gives the invalid value, false, 0 or "".
//
// A Json is sixteen bytes: numbers, booleans and strings of up to kSmallText bytes live inside it;
// longer strings, arrays and objects own one heap block each, which holds their elements (or name and
// value pairs, in insertion order) contiguously. Lookups that find nothing answer with Json::Absent(), a
// constant invalid value that nothing can write to. A JsonDocument reads a text into values whose blocks
// lie in memory of its own, reused from one text to the next.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

namespace sdk {

// Kind codes answered by Type().
enum JsonKind : int {
    kJsonInvalid = -1,
    kJsonNull = 0,
    kJsonBool = 1,
    kJsonNumber = 2,
    kJsonString = 3,
    kJsonArray = 4,
    kJsonObject = 5,
};

class JsonSlot;

class Json {
public:
    static constexpr std::size_t kSmallText = 14;

    constexpr Json() noexcept : Json(Tag::kNull) {}  // null
    Json(std::string_view text) : Json(Tag::kSmallString) {
        // Inline: most strings of a message (every member name) are this short.
        if (text.size() <= kSmallText) {
            if (!text.empty()) std::memcpy(bytes_, text.data(), text.size());
            smallSize_ = static_cast<std::uint8_t>(text.size());
        } else {
            MakeLong(text);
        }
    }
    Json(const std::string& text) : Json(std::string_view(text)) {}
    Json(const char* text) : Json(text ? std::string_view(text) : std::string_view()) {}
    Json(int number) noexcept : Json(static_cast<double>(number)) {}
    Json(double number) noexcept;
    Json(bool value) noexcept;
    constexpr ~Json() {
        if (tag_ >= Tag::kLongString) Release();
    }

    // Copies are deep. A moved-from value is the invalid value.
    Json(const Json& other);
    Json(Json&& other) noexcept : Json(Tag::kInvalid) { TakeBits(other); }
    Json& operator=(const Json& other);
    Json& operator=(Json&& other) noexcept;

    // A new invalid value, and the constant one that lookups hand out by reference.
    static constexpr Json Invalid() noexcept { return Json(Tag::kInvalid); }
    static const Json& Absent() noexcept;

    // Null turns into an empty object first; then the member, inserted as null when missing. On any
    // other kind the slot is empty: reading it gives the invalid value and writing to it does nothing.
    JsonSlot operator[](std::string_view name);
    // Null turns into an empty array first; then the element, or an empty slot past the end.
    JsonSlot operator[](int index);

    // Null turns into an empty array (Append) or object (SetMember) first; other kinds ignore these.
    void Append(Json&& value);
    void Append(const Json& value);
    void SetMember(std::string_view name, Json&& value);
    void SetMember(std::string_view name, const Json& value);
    // Replaces an existing element; nothing else (a null is not converted, an array does not grow).
    void SetElement(int index, Json&& value);
    void SetElement(int index, const Json& value);

    // Deep copies, or a new invalid value.
    Json Get(std::string_view name) const { return At(name); }
    Json Get(int index) const { return At(index); }

    // Read-only access without copying: the member or element, or Absent().
    const Json& At(std::string_view name) const;
    const Json& At(int index) const;

    // Members in insertion order, for code that walks an object; 0 members for other kinds.
    int MemberCount() const;
    std::string_view MemberName(int position) const;
    const Json& MemberValue(int position) const;

    bool HasMember(std::string_view name) const;
    // The number of elements of an array; -1 for every other kind, objects included.
    int Size() const;
    bool IsValid() const { return tag_ != Tag::kInvalid; }
    bool IsNull() const { return tag_ == Tag::kNull || tag_ == Tag::kInvalid; }
    bool AsBool() const { return tag_ == Tag::kBool && bytes_[0] != 0; }
    // Truncated toward zero; numbers beyond the int range saturate and NaN gives 0.
    int AsInt() const;
    double AsDouble() const { return tag_ == Tag::kNumber ? Number() : 0.0; }
    std::string AsString() const { return std::string(AsStringView()); }
    // The text of a string value without a copy, valid while the value lives unchanged and unmoved;
    // empty for other kinds.
    std::string_view AsStringView() const;
    int Type() const;

    // Compact text with members in insertion order; the invalid value writes as nothing. Numbers take six
    // significant digits when that text reads back exactly, else the shortest exact text; infinities and
    // NaN, which no reader takes, write as null.
    std::string ToText() const;
    void WriteText(std::string& sink) const;
    // Reads one value from the start of text; trailing characters are ignored. Text that does not start
    // with a readable value (or nests deeper than kMaxDepth) gives the invalid value.
    static Json Parse(std::string_view text);

    static constexpr int kMaxDepth = 256;

private:
    friend class JsonSlot;
    friend struct JsonAccess;

    // smallSize_ of a long string or container whose block lies in a document's arena: the document
    // gives the memory back all at once, so releasing such a value frees nothing.
    static constexpr std::uint8_t kInArena = 1;

    enum class Tag : std::uint8_t {
        kInvalid,
        kNull,
        kBool,
        kNumber,
        kSmallString,
        // Kinds from here on own a heap block.
        kLongString,
        kArray,
        kObject,
    };

    constexpr explicit Json(Tag tag) noexcept : bytes_{}, smallSize_(0), tag_(tag) {}

    // The first bytes hold the number, the boolean or the block pointer, by kind; a small string fills
    // up to kSmallText bytes.
    void* Block() const {
        void* block;
        std::memcpy(&block, bytes_, sizeof block);
        return block;
    }
    void SetBlock(void* block) { std::memcpy(bytes_, &block, sizeof block); }
    double Number() const {
        double number;
        std::memcpy(&number, bytes_, sizeof number);
        return number;
    }

    // Takes other's content without touching this one's; other becomes invalid.
    void TakeBits(Json& other) noexcept {
        std::memcpy(bytes_, other.bytes_, sizeof bytes_);
        smallSize_ = other.smallSize_;
        tag_ = other.tag_;
        other.tag_ = Tag::kInvalid;
    }
    void Release() noexcept;
    void MakeLong(std::string_view text);
    // The element or member, or nullptr.
    Json* FindElement(int index) const;
    Json* FindMember(std::string_view name) const;
    // A null becomes an empty container of the kind; true when the value is (now) of that kind.
    bool MakeArray();
    bool MakeObject();

    alignas(8) char bytes_[kSmallText];
    std::uint8_t smallSize_;
    Tag tag_;
};

static_assert(sizeof(Json) == 16);

// A text read into values that live in the document's own memory, which the next Parse reuses: reading
// answers of about the same size again and again allocates nothing after the first. The values are
// read-only; a copy of one (Json's copy constructor) is an ordinary value that outlives the document.
// Not synchronised: one thread at a time.
class JsonDocument {
public:
    JsonDocument();
    ~JsonDocument();
    JsonDocument(const JsonDocument&) = delete;
    JsonDocument& operator=(const JsonDocument&) = delete;

    // Reads text exactly as Json::Parse does. What the previous Parse gave is invalid from here on.
    const Json& Parse(std::string_view text);
    const Json& Root() const { return root_; }

    // Memory above this is given back once a parse is done, so one huge text does not stay held.
    static constexpr std::size_t kKeptBytes = std::size_t{1024} * 1024;

private:
    struct Memory;
    std::unique_ptr<Memory> memory_;
    Json root_;
};

// A place in a value, as operator[] finds it: an element or member, or nothing. Writing to an empty slot
// does nothing; reading it gives Json::Absent(). Valid until the container it points into changes.
class JsonSlot {
public:
    explicit JsonSlot(Json* target) noexcept : target_(target) {}

    JsonSlot& operator=(Json&& value) {
        if (target_) *target_ = std::move(value);
        return *this;
    }
    JsonSlot& operator=(const Json& value) {
        if (target_) *target_ = value;
        return *this;
    }
    JsonSlot operator[](std::string_view name) { return target_ ? (*target_)[name] : JsonSlot(nullptr); }
    JsonSlot operator[](int index) { return target_ ? (*target_)[index] : JsonSlot(nullptr); }
    void Append(Json&& value) {
        if (target_) target_->Append(std::move(value));
    }
    void Append(const Json& value) {
        if (target_) target_->Append(value);
    }
    void SetMember(std::string_view name, Json&& value) {
        if (target_) target_->SetMember(name, std::move(value));
    }
    void SetMember(std::string_view name, const Json& value) {
        if (target_) target_->SetMember(name, value);
    }

    // What the slot holds, read-only.
    const Json& Value() const { return target_ ? *target_ : Json::Absent(); }
    operator const Json&() const { return Value(); }
    const Json* operator->() const { return &Value(); }
    // The value itself, to move from or change in place; nullptr for an empty slot.
    Json* Target() const { return target_; }

private:
    Json* target_;
};

}  // namespace sdk
