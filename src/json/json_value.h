// The value classes behind the Json handle: one class per kind, each answering the operations its kind
// has and keeping the neutral defaults of JsonValue for the rest.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "json/json.h"

namespace sdk {

class JsonValue {
public:
    virtual ~JsonValue() = default;

    virtual int Type() const = 0;
    virtual bool HasMember(std::string_view name) const;
    virtual Json GetElement(int index) const;
    virtual Json& Element(int index);
    virtual Json GetMember(std::string_view name) const;
    virtual Json& Member(std::string_view name);
    virtual void SetElement(int index, Json&& value);
    virtual void SetElement(int index, const Json& value);
    virtual void SetMember(std::string_view name, Json&& value);
    virtual void SetMember(std::string_view name, const Json& value);
    virtual void Append(Json&& value);
    virtual void Append(const Json& value);
    virtual int Size() const;
    virtual bool IsValid() const;
    virtual bool IsNull() const;
    virtual bool AsBool() const;
    virtual int AsInt() const;
    virtual double AsDouble() const;
    virtual std::string AsString() const;
    virtual void WriteText(std::string& sink) const = 0;
    virtual std::unique_ptr<JsonValue> Clone() const = 0;

    // Read-only lookups without copying; nullptr when the kind has no such member or element.
    virtual const Json* FindMember(std::string_view name) const;
    virtual const Json* FindElement(int index) const;

protected:
    JsonValue() = default;
    JsonValue(const JsonValue&) = default;
    JsonValue& operator=(const JsonValue&) = default;
};

// The shared values handed out by reference when there is no such element or member. They live for the
// whole process; assignments through the references are ignored by Json, so they stay invalid.
Json& SharedInvalidElement();
Json& SharedInvalidMember();

class JsonInvalidValue final : public JsonValue {
public:
    int Type() const override { return kJsonInvalid; }
    bool IsValid() const override { return false; }
    bool IsNull() const override { return true; }
    void WriteText(std::string& sink) const override;
    std::unique_ptr<JsonValue> Clone() const override;
};

class JsonNullValue final : public JsonValue {
public:
    int Type() const override { return kJsonNull; }
    bool IsNull() const override { return true; }
    void WriteText(std::string& sink) const override;
    std::unique_ptr<JsonValue> Clone() const override;
};

class JsonBoolValue final : public JsonValue {
public:
    explicit JsonBoolValue(bool value) : value_(value) {}
    int Type() const override { return kJsonBool; }
    bool AsBool() const override { return value_; }
    void WriteText(std::string& sink) const override;
    std::unique_ptr<JsonValue> Clone() const override;

private:
    bool value_;
};

class JsonNumberValue final : public JsonValue {
public:
    explicit JsonNumberValue(double value) : value_(value) {}
    int Type() const override { return kJsonNumber; }
    int AsInt() const override;
    double AsDouble() const override { return value_; }
    void WriteText(std::string& sink) const override;
    std::unique_ptr<JsonValue> Clone() const override;

private:
    double value_;
};

class JsonStringValue final : public JsonValue {
public:
    explicit JsonStringValue(std::string text) : text_(std::move(text)) {}
    int Type() const override { return kJsonString; }
    std::string AsString() const override { return text_; }
    void WriteText(std::string& sink) const override;
    std::unique_ptr<JsonValue> Clone() const override;

    const std::string& Text() const { return text_; }

private:
    std::string text_;
};

class JsonArrayValue final : public JsonValue {
public:
    JsonArrayValue() = default;
    int Type() const override { return kJsonArray; }
    Json GetElement(int index) const override;
    Json& Element(int index) override;
    void SetElement(int index, Json&& value) override;
    void SetElement(int index, const Json& value) override;
    void Append(Json&& value) override;
    void Append(const Json& value) override;
    int Size() const override { return static_cast<int>(elements_.size()); }
    void WriteText(std::string& sink) const override;
    std::unique_ptr<JsonValue> Clone() const override;
    const Json* FindElement(int index) const override;

    void Reserve(std::size_t count) { elements_.reserve(count); }

private:
    bool Contains(int index) const {
        return index >= 0 && static_cast<std::size_t>(index) < elements_.size();
    }

    std::vector<Json> elements_;
};

// Members keep the order in which their names were first set, so written texts follow the order in which
// requests were built. Small objects are searched linearly; larger ones through an open-addressing index
// of positions into the member list, which stays valid when the list reallocates.
class JsonObjectValue final : public JsonValue {
public:
    struct Entry {
        std::string name;
        Json value;
    };

    JsonObjectValue() = default;
    int Type() const override { return kJsonObject; }
    bool HasMember(std::string_view name) const override { return Find(name) != kNotFound; }
    Json GetMember(std::string_view name) const override;
    Json& Member(std::string_view name) override;
    void SetMember(std::string_view name, Json&& value) override;
    void SetMember(std::string_view name, const Json& value) override;
    void WriteText(std::string& sink) const override;
    std::unique_ptr<JsonValue> Clone() const override;
    const Json* FindMember(std::string_view name) const override;

    // The reader's way in: the name is moved in rather than copied.
    void Set(std::string&& name, Json&& value);
    const std::vector<Entry>& Entries() const { return entries_; }
    void Reserve(std::size_t count) { entries_.reserve(count); }

private:
    static constexpr std::uint32_t kNotFound = UINT32_MAX;
    static constexpr std::size_t kLinearLimit = 8;

    std::uint32_t Find(std::string_view name) const;
    // Appends a member known to be absent and returns its handle.
    Json& Insert(std::string&& name, Json&& value);
    void IndexEntry(std::uint32_t position);
    void RebuildIndex(std::size_t slotCount);

    std::vector<Entry> entries_;
    std::vector<std::uint32_t> slots_;  // empty while the object is small
};

}  // namespace sdk
