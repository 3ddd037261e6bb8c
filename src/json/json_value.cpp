#include "json/json_value.h"

#include <cmath>
#include <functional>
#include <limits>

namespace sdk {

// ---- JsonValue: the neutral answers every kind keeps unless it has the thing asked for.

bool JsonValue::HasMember(std::string_view) const {
    return false;
}
Json JsonValue::GetElement(int) const {
    return Json::Invalid();
}
Json& JsonValue::Element(int) {
    return SharedInvalidElement();
}
Json JsonValue::GetMember(std::string_view) const {
    return Json::Invalid();
}
Json& JsonValue::Member(std::string_view) {
    return SharedInvalidMember();
}
void JsonValue::SetElement(int, Json&&) {}
void JsonValue::SetElement(int, const Json&) {}
void JsonValue::SetMember(std::string_view, Json&&) {}
void JsonValue::SetMember(std::string_view, const Json&) {}
void JsonValue::Append(Json&&) {}
void JsonValue::Append(const Json&) {}
int JsonValue::Size() const {
    return -1;
}
bool JsonValue::IsValid() const {
    return true;
}
bool JsonValue::IsNull() const {
    return false;
}
bool JsonValue::AsBool() const {
    return false;
}
int JsonValue::AsInt() const {
    return 0;
}
double JsonValue::AsDouble() const {
    return 0.0;
}
std::string JsonValue::AsString() const {
    return {};
}
const Json* JsonValue::FindMember(std::string_view) const {
    return nullptr;
}
const Json* JsonValue::FindElement(int) const {
    return nullptr;
}

// ---- Scalars

std::unique_ptr<JsonValue> JsonInvalidValue::Clone() const {
    return std::make_unique<JsonInvalidValue>();
}
std::unique_ptr<JsonValue> JsonNullValue::Clone() const {
    return std::make_unique<JsonNullValue>();
}
std::unique_ptr<JsonValue> JsonBoolValue::Clone() const {
    return std::make_unique<JsonBoolValue>(value_);
}
std::unique_ptr<JsonValue> JsonNumberValue::Clone() const {
    return std::make_unique<JsonNumberValue>(value_);
}
std::unique_ptr<JsonValue> JsonStringValue::Clone() const {
    return std::make_unique<JsonStringValue>(text_);
}

int JsonNumberValue::AsInt() const {
    // Truncation toward zero; values beyond the int range saturate and NaN gives 0, where a plain cast
    // would be undefined.
    if (std::isnan(value_)) return 0;
    if (value_ >= static_cast<double>(std::numeric_limits<int>::max()))
        return std::numeric_limits<int>::max();
    if (value_ <= static_cast<double>(std::numeric_limits<int>::min()))
        return std::numeric_limits<int>::min();
    return static_cast<int>(value_);
}

// ---- Arrays

Json JsonArrayValue::GetElement(int index) const {
    return Contains(index) ? elements_[index] : Json::Invalid();
}

Json& JsonArrayValue::Element(int index) {
    return Contains(index) ? elements_[index] : SharedInvalidElement();
}

const Json* JsonArrayValue::FindElement(int index) const {
    return Contains(index) ? &elements_[index] : nullptr;
}

void JsonArrayValue::SetElement(int index, Json&& value) {
    if (!Contains(index)) return;
    // Taken out first: the value may live inside the element it replaces.
    Json taken(std::move(value));
    elements_[index] = std::move(taken);
}

void JsonArrayValue::SetElement(int index, const Json& value) {
    if (!Contains(index)) return;
    Json copy(value);
    elements_[index] = std::move(copy);
}

void JsonArrayValue::Append(Json&& value) {
    // Taken out before the vector may reallocate: the value may be one of this array's own elements.
    Json taken(std::move(value));
    elements_.push_back(std::move(taken));
}

void JsonArrayValue::Append(const Json& value) {
    Json copy(value);
    elements_.push_back(std::move(copy));
}

std::unique_ptr<JsonValue> JsonArrayValue::Clone() const {
    auto clone = std::make_unique<JsonArrayValue>();
    clone->elements_ = elements_;
    return clone;
}

// ---- Objects

namespace {

constexpr std::uint32_t kEmptySlot = UINT32_MAX;

std::size_t HashName(std::string_view name) {
    return std::hash<std::string_view>{}(name);
}

}  // namespace

std::uint32_t JsonObjectValue::Find(std::string_view name) const {
    if (slots_.empty()) {
        for (std::size_t i = 0; i < entries_.size(); ++i) {
            if (entries_[i].name == name) return static_cast<std::uint32_t>(i);
        }
        return kNotFound;
    }
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t slot = HashName(name) & mask;; slot = (slot + 1) & mask) {
        const std::uint32_t position = slots_[slot];
        if (position == kEmptySlot) return kNotFound;
        if (entries_[position].name == name) return position;
    }
}

void JsonObjectValue::IndexEntry(std::uint32_t position) {
    const std::size_t mask = slots_.size() - 1;
    std::size_t slot = HashName(entries_[position].name) & mask;
    while (slots_[slot] != kEmptySlot) slot = (slot + 1) & mask;
    slots_[slot] = position;
}

void JsonObjectValue::RebuildIndex(std::size_t slotCount) {
    slots_.assign(slotCount, kEmptySlot);
    for (std::size_t i = 0; i < entries_.size(); ++i) IndexEntry(static_cast<std::uint32_t>(i));
}

Json& JsonObjectValue::Insert(std::string&& name, Json&& value) {
    // The entry is complete before the list may reallocate, as the name may view into an existing one.
    entries_.push_back(Entry{std::move(name), std::move(value)});
    const std::size_t count = entries_.size();
    if (slots_.empty()) {
        if (count > kLinearLimit) RebuildIndex(4 * kLinearLimit);
    } else if (2 * count > slots_.size()) {
        // At most half full, so probe runs stay short.
        RebuildIndex(2 * slots_.size());
    } else {
        IndexEntry(static_cast<std::uint32_t>(count - 1));
    }
    return entries_.back().value;
}

Json JsonObjectValue::GetMember(std::string_view name) const {
    const std::uint32_t position = Find(name);
    return position == kNotFound ? Json::Invalid() : entries_[position].value;
}

Json& JsonObjectValue::Member(std::string_view name) {
    const std::uint32_t position = Find(name);
    return position == kNotFound ? Insert(std::string(name), Json()) : entries_[position].value;
}

const Json* JsonObjectValue::FindMember(std::string_view name) const {
    const std::uint32_t position = Find(name);
    return position == kNotFound ? nullptr : &entries_[position].value;
}

void JsonObjectValue::SetMember(std::string_view name, Json&& value) {
    // Taken out first: the value may live inside this object and move when the member list grows.
    Json taken(std::move(value));
    const std::uint32_t position = Find(name);
    if (position == kNotFound) {
        Insert(std::string(name), std::move(taken));
    } else {
        entries_[position].value = std::move(taken);
    }
}

void JsonObjectValue::Set(std::string&& name, Json&& value) {
    Json taken(std::move(value));
    const std::uint32_t position = Find(name);
    if (position == kNotFound) {
        Insert(std::move(name), std::move(taken));
    } else {
        entries_[position].value = std::move(taken);
    }
}

void JsonObjectValue::SetMember(std::string_view name, const Json& value) {
    Json copy(value);
    SetMember(name, std::move(copy));
}

std::unique_ptr<JsonValue> JsonObjectValue::Clone() const {
    auto clone = std::make_unique<JsonObjectValue>();
    clone->entries_ = entries_;
    clone->slots_ = slots_;
    return clone;
}

}  // namespace sdk
