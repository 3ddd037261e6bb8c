// The JSON value model: a forgiving tree of values behind one owning handle. No operation fails;
// asking a value for something its kind does not have gives the invalid value, false, 0 or "".
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace sdk {

class JsonValue;

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

// Owning handle to one JsonValue. Copies are deep; a moved-from handle is empty and should only be
// destroyed or assigned to (anything else treats it as the invalid value).
class Json {
public:
    Json();  // a null value
    Json(const std::string& text);
    Json(std::string&& text);
    Json(std::string_view text);
    Json(const char* text);
    Json(int number);
    Json(double number);
    Json(bool value);
    explicit Json(std::unique_ptr<JsonValue> value);
    ~Json();

    Json(const Json& other);
    Json(Json&& other) noexcept;
    Json& operator=(const Json& other);
    Json& operator=(Json&& other) noexcept;

    static Json Invalid();

    // Null turns into an empty object first; then the member (inserted as null when missing). Any other
    // non-object kind gives the shared invalid value; assignments to the shared invalid value are ignored.
    Json& operator[](std::string_view name);
    // Null turns into an empty array first; then the element, or the shared invalid value.
    Json& operator[](int index);

    void Append(Json&& value);
    void Append(const Json& value);
    void SetMember(std::string_view name, Json&& value);
    void SetMember(std::string_view name, const Json& value);
    void SetElement(int index, Json&& value);
    void SetElement(int index, const Json& value);

    // Deep copies, or a new invalid value.
    Json Get(std::string_view name) const;
    Json Get(int index) const;

    // Read-only access without copying: the member or element, or a shared invalid value.
    const Json& At(std::string_view name) const;
    const Json& At(int index) const;

    bool HasMember(std::string_view name) const;
    int Size() const;
    bool IsValid() const;
    bool IsNull() const;
    bool AsBool() const;
    // Truncated toward zero; numbers beyond the int range saturate and NaN gives 0.
    int AsInt() const;
    double AsDouble() const;
    std::string AsString() const;
    // The text of a string value without a copy, valid while the value lives; empty for other kinds.
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

    JsonValue* Value() const { return value_.get(); }

private:
    std::unique_ptr<JsonValue> value_;
};

}  // namespace sdk
